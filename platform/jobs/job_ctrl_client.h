#pragma once
// The job services' job-control client of a running job: how the job learns
// that it must stop (checkQuitFlag), and the name of the client it runs on
// (getCN). The scan only passes it through to the true-up.
//
// Simulated, the job's quit flag is a column of its row in the job service's
// "jobs" table, set and cleared by the harness (blbsim job quit JOB on|off).
//
// Faults: "KZJobCtrlClient::getCN" (an empty name),
// "KZJobCtrlClient::checkQuitFlag" (the call answers false: the service
// could not tell that the job is to stop).
#include <cstdint>
#include <string>
#include <utility>

class KZJobCtrlClient {
 public:
  KZJobCtrlClient() = default;
  explicit KZJobCtrlClient(std::string clientName) : m_sClientName(std::move(clientName)) {}
  // The client of the job with this id.
  KZJobCtrlClient(uint64_t jobId, std::string clientName) : m_sClientName(std::move(clientName)), m_nJobId(jobId) {}

  // The name of the client the job runs on.
  std::string getCN() const;
  // Whether the job is to stop; false for a job the service does not know
  // (and for a client made without a job), and when the flag cannot be read,
  // as when the service cannot be reached: it could not tell.
  bool checkQuitFlag() const;

 private:
  std::string m_sClientName;
  uint64_t m_nJobId = 0;
};
