#pragma once
// The job manager's XML request client. Simulated, it answers the one
// request the library sends: the last incremental job of a subclient whose
// backup copy is done (JobManager::GetLastIncrJobWithBackupCopyDoneReq),
// with a reply of tag 0x15A2B1EC: field 1 that job's snapshot job, field 4
// its copy id.
//
// Faults: "KZJobClient::init", "KZJobClient::processXmlReq" (false),
// "KZJobClient::getBkpAttrs" (the fault's code).
#include <cstdint>
#include <string>

class CNMessageBase;

class KZJobClient {
 public:
  // True for the VornServe host; platformType and flag are the agent's.
  bool init(const std::string& host, int platformType, int flag);
  // The job whose XML blob is read or written next.
  void setJobID(long long jobId) { m_nJobId = jobId; }
  // False before a successful init, for a request of another kind and when
  // no such job exists.
  bool processXmlReq(const CNMessageBase& request, CNMessageBase& reply);
  // The job's backup attributes (job_details.h): 0, or non-zero before a
  // successful init or for a job without them; logged under the job.
  int getBkpAttrs(uint64_t& attributes, uint64_t jobId, uint64_t cellId);

 private:
  bool m_bInitialized = false;
  long long m_nJobId = 0;
};
