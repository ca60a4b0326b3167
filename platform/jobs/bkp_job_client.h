#pragma once
// The job service: the backup jobs the agent runs, and KZBkpJobClient, through
// which a job's own process changes the job while it runs.
//
// Simulated, a job is a row of the "jobs" table: its subclient, backup level,
// token and how often it was converted to a full backup. A client joins a
// job with the VornServe host's name, the job id and the job's token, may ask
// for the job to become a full backup and commits that with updateInfo.
// Every call a client makes on a job is logged with its arguments and
// whether it succeeded ("job_client_calls").
//
// Faults: "KZBkpJobClient::init", "KZBkpJobClient::changeBkpLevelToFull",
// "KZBkpJobClient::resetListOfVolumesWithMissingExtents",
// "KZBkpJobClient::updateInfo", "KZBkpJobClient::getXmlBlob",
// "KZBkpJobClient::setXmlBlob" (each call then answers false).
// setBkpAttributes is logged as "setBkpAttributes(0x...)".
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/backend.h"
#include "platform/sim/state_db_failure.h"

namespace platform {

struct JobRecord {
  uint64_t jobId = 0;
  uint64_t cellId = 0;
  uint64_t appId = 0;
  int level = 0;  // 1 full, 2 incremental, 4 differential
  std::string token;
  uint64_t conversions = 0;     // times the job was turned into a full backup
  uint64_t snapJobId = 0;       // the snapshot job this job converts (0: none)
  uint32_t copyId = 0;          // the storage-policy copy the job wrote
  bool backupCopyDone = false;  // the job's backup copy was made
  uint64_t startTime = 0;       // Unix seconds; 0 while unknown
  uint64_t endTime = 0;
};

// One call of a job client, as "name(arguments)".
struct JobClientCall {
  std::string call;
  bool succeeded = false;
};

// The readers return done (nothing found included) or why the read
// failed: a failed read is never taken for a job that is not there.
class JobServiceBackend {
 public:
  virtual ~JobServiceBackend() = default;
  virtual StateDbResult FindJob(uint64_t jobId, std::optional<JobRecord>& job) = 0;
  // Adds the job or replaces the one with its id; why not, when it could not.
  virtual StateDbResult PutJob(const JobRecord& job) = 0;
  // Adds a new job: an id another job holds is refused (EEXIST), never
  // replaced.
  virtual StateDbResult AddJob(const JobRecord& job) = 0;
  // The job becomes a full backup, counted as one more conversion; false for
  // an unknown job.
  virtual bool ConvertToFull(uint64_t jobId) = 0;
  // Appends a call to the job's log; the job's calls, oldest first.
  virtual bool LogCall(uint64_t jobId, const JobClientCall& call) = 0;
  virtual StateDbResult Calls(uint64_t jobId, std::vector<JobClientCall>& calls) = 0;
  // Every job, by id.
  virtual StateDbResult Jobs(std::vector<JobRecord>& jobs) = 0;
  // The subclient's newest incremental job whose backup copy is done.
  virtual StateDbResult NewestCopiedIncremental(uint64_t cellId, uint64_t appId, std::optional<JobRecord>& job) = 0;
  // The job's quit flag: set when the job is to stop. Nothing for an unknown
  // job; setting it is false for one.
  virtual StateDbResult QuitFlag(uint64_t jobId, std::optional<bool>& quit) = 0;
  virtual bool SetQuitFlag(uint64_t jobId, bool quit) = 0;
  // The job's start and end times, the rest of its row kept; ENOENT for an
  // unknown job.
  virtual StateDbResult SetJobTimes(uint64_t jobId, uint64_t startTime, uint64_t endTime) = 0;
  // ORs the bits into the job's attributes; false for an unknown job.
  virtual bool AddAttributes(uint64_t jobId, uint32_t attributes) = 0;
  // The job's attributes; nothing for an unknown job.
  virtual StateDbResult Attributes(uint64_t jobId, std::optional<uint32_t>& attributes) = 0;

  static JobServiceBackend& Default();
};

using JobService = Backend<JobServiceBackend>;

}  // namespace platform

class KZBkpJobClient {
 public:
  KZBkpJobClient() = default;

  // Joins a running job. False for a job the service does not know, a host
  // other than the VornServe host, or a token other than the job's. A
  // client that neither attaches nor gives a token (the job's own scan
  // telling what it took) joins without one. jobType and platformType say
  // who joins; the service does not tell them apart.
  bool init(const std::string& vornServerHost, uint64_t jobId, int jobType, int platformType, bool attach,
            const char* jobToken);
  // Asks for the joined job to become a full backup; nothing changes until
  // updateInfo.
  bool changeBkpLevelToFull();
  // Tells the joined job that the volumes a synthetic full found missing
  // extents in were taken care of.
  bool resetListOfVolumesWithMissingExtents();
  // Commits what was asked. The flag and the out-flag (may be null) are the
  // agent's and not used here.
  // Asks for attribute bits to be ORed into the job's; nothing changes until
  // updateInfo.
  void setBkpAttributes(uint32_t attributes);
  bool updateInfo(bool flag, bool* changed);
  // The job the client speaks for: the job whose attributes updateInfo
  // changes and whose backup-details blob (job_details.h) is read or
  // written (the job init joined stays the one logged).
  void setJobID(uint64_t jobId) { m_nTargetJobId = jobId; }
  // False before a successful init, and for a job without a blob.
  bool getXmlBlob(std::string& xml, uint64_t cellId);
  bool setXmlBlob(const std::string& xml, int flags);

 private:
  // Logs the call under the job init last named; the call's result.
  bool Logged(const std::string& call, bool succeeded);

  uint64_t m_nJobId = 0;       // 0 until init succeeded
  uint64_t m_nNamedJobId = 0;  // the job init last named
  bool m_bFullRequested = false;
  uint64_t m_nTargetJobId = 0;  // 0: the joined job
  uint32_t m_nAttributes = 0;
};
