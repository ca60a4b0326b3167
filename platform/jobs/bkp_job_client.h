#pragma once
// The job service: the backup jobs the agent runs, and KZBkpJobClient, through
// which a job's own process changes the job while it runs.
//
// Simulated, a job is a row of the "jobs" table: its subclient, backup level,
// token and how often it was converted to a full backup. A client joins a
// job with the VornServe host's name, the job id and the job's token, may ask
// for the job to become a full backup and commits that with updateInfo.
//
// Faults: "KZBkpJobClient::init", "KZBkpJobClient::changeBkpLevelToFull",
// "KZBkpJobClient::updateInfo" (each call then answers false).
#include <cstdint>
#include <optional>
#include <string>

#include "platform/base/backend.h"

namespace platform {

struct JobRecord {
  uint64_t jobId = 0;
  uint64_t cellId = 0;
  uint64_t appId = 0;
  int level = 0;  // 1 full, 2 incremental, 4 differential
  std::string token;
  uint64_t conversions = 0;  // times the job was turned into a full backup
};

class JobServiceBackend {
 public:
  virtual ~JobServiceBackend() = default;
  virtual std::optional<JobRecord> FindJob(uint64_t jobId) = 0;
  // Adds the job or replaces the one with its id.
  virtual bool PutJob(const JobRecord& job) = 0;
  // The job becomes a full backup, counted as one more conversion; false for
  // an unknown job.
  virtual bool ConvertToFull(uint64_t jobId) = 0;

  static JobServiceBackend& Default();
};

using JobService = Backend<JobServiceBackend>;

}  // namespace platform

class KZBkpJobClient {
 public:
  KZBkpJobClient() = default;

  // Joins a running job. False for a job the service does not know, a host
  // other than the VornServe host, or a token other than the job's. jobType
  // and platformType say who joins; the service does not tell them apart.
  bool init(const std::string& vornServerHost, uint64_t jobId, int jobType, int platformType, bool attach,
            const char* jobToken);
  // Asks for the joined job to become a full backup; nothing changes until
  // updateInfo.
  bool changeBkpLevelToFull();
  // Commits what was asked. The flag and the out-flag (may be null) are the
  // agent's and not used here.
  bool updateInfo(bool flag, bool* changed);

 private:
  uint64_t m_nJobId = 0;  // 0 until init succeeded
  bool m_bFullRequested = false;
};
