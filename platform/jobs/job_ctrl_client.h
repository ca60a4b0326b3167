#pragma once
// The job services' job-control client: how a running job learns that it
// must stop. Simulated, the job's quit flag is a column of its row in the
// job service's "jobs" table, set and cleared by the harness
// (blbsim job quit JOB on|off).
//
// Fault: "KZJobCtrlClient::checkQuitFlag" (the call answers false: the
// service could not tell that the job is to stop).
#include <cstdint>

class KZJobCtrlClient {
 public:
  explicit KZJobCtrlClient(uint64_t jobId) : m_nJobId(jobId) {}
  virtual ~KZJobCtrlClient() = default;

  uint64_t GetJobId() const { return m_nJobId; }
  // Whether the job is to stop; false for a job the service does not know.
  virtual bool checkQuitFlag();

 private:
  uint64_t m_nJobId;
};
