#pragma once
// The job-info metadata service, simulated: per job, named containers of
// files, kept in the state database (`job_info_files`), and per job its start
// time and storage type (`job_info_jobs`). Job ids are unique in the
// simulated cell, so a job id alone names a job's metadata.
//
// The readers (job_info_reader.h) answer from it at the time of each call; a
// test may install its own backend for a scope. The harness fills it
// (harness/job_info_harness.h, `blbsim jobinfo`).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/backend.h"
#include "platform/sim/state_db_failure.h"

namespace platform {

// The metadata storage type of a job whose record says nothing else.
constexpr uint32_t kJobInfoMetadataTypeRfc = 2;

struct JobInfoJobRecord {
  uint64_t jobId = 0;
  uint64_t startTime = 0;  // Unix seconds
  uint32_t metadataType = kJobInfoMetadataTypeRfc;
  // What the job's store committed with its files (job_info_store.h).
  uint32_t storeFlags = 0;
  uint32_t additionalFlags = 0;
  uint64_t afileId = 0;
  std::string delimiter;
  bool uploaded = false;
};

struct JobInfoFileRecord {
  uint64_t jobId = 0;
  std::string container;
  std::string name;
  uint64_t size = 0;
  uint64_t storedTime = 0;  // Unix seconds
};

// A job's key-value container in one storage type (1 index, 2 reference
// copy), as the serialised bag the store committed.
struct JobInfoBagRecord {
  uint64_t jobId = 0;
  std::string container;
  uint32_t storageType = 0;
  std::string bag;
};

// The readers return done (nothing found included), or why the read failed
// (1627 where they answer a code): a failed read is never taken for a
// record that is not there.
class JobInfoMetadataBackend {
 public:
  virtual ~JobInfoMetadataBackend() = default;
  // Nothing for a job without a record.
  virtual StateDbResult FindJob(uint64_t jobId, std::optional<JobInfoJobRecord>& job) = 0;
  // Adds the record or replaces the job's.
  virtual bool PutJob(const JobInfoJobRecord& job) = 0;
  // Every job's record, by job.
  virtual StateDbResult Jobs(std::vector<JobInfoJobRecord>& jobs) {
    jobs.clear();
    return StateDbResult();
  }
  // The container's file names in name order (none for a container the job
  // does not have); 0, or 1627 when the store cannot be read.
  virtual int ListFiles(uint64_t jobId, const std::string& container, std::vector<std::string>& names) = 0;
  // 0 with the contents; 1168 when the container holds no such file; 1627
  // when the store cannot be read.
  virtual int ReadFile(uint64_t jobId, const std::string& container, const std::string& name,
                       std::string& contents) = 0;
  // Adds the file or replaces the one of that name. Any non-empty name is
  // kept as given: the service does not know where readers will write it.
  virtual StateDbResult PutFile(uint64_t jobId, const std::string& container, const std::string& name,
                                const std::string& contents) = 0;
  // Every file of every job, by job, container and name.
  virtual StateDbResult Files(std::vector<JobInfoFileRecord>& files) = 0;
  // A key-value container of the job in the storage type (1 index, 2
  // reference copy), as a serialised bag: 0 with the text; 1168 when the job
  // has no such container there; 1627 when the store cannot be read.
  virtual int ReadBag(uint64_t, const std::string&, uint32_t, std::string&) { return 1168; }
  // Adds the container or replaces it.
  virtual bool PutBag(uint64_t, const std::string&, uint32_t, const std::string&) { return false; }
  // Every container, by job, container and storage type.
  virtual StateDbResult Bags(std::vector<JobInfoBagRecord>& bags) {
    bags.clear();
    return StateDbResult();
  }

  static JobInfoMetadataBackend& Default();
};

using JobInfoMetadata = Backend<JobInfoMetadataBackend>;

}  // namespace platform
