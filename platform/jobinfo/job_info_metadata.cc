#include "platform/jobinfo/job_info_metadata.h"

#include <cerrno>
#include <ctime>

#include "platform/sim/state_db.h"

namespace platform {
namespace {

constexpr int kNotFound = 1168;
constexpr int kServiceFailed = 1627;

class DatabaseJobInfoMetadata : public JobInfoMetadataBackend {
 public:
  int ReadBag(uint64_t jobId, const std::string& container, uint32_t storageType, std::string& bag) override {
    SqlStatement query(StateDb::Current(),
                       "SELECT bag FROM job_info_bags WHERE job_id = ? AND container = ? AND storage_type = ?;");
    query.BindUnsigned(1, jobId).Bind(2, container).BindUnsigned(3, storageType);
    if (!query.Step()) return kNotFound;
    bag = query.Text(0);
    return 0;
  }

  bool PutBag(uint64_t jobId, const std::string& container, uint32_t storageType, const std::string& bag) override {
    SqlStatement put(
        StateDb::Current(),
        "INSERT OR REPLACE INTO job_info_bags (job_id, container, storage_type, bag) VALUES (?, ?, ?, ?);");
    put.BindUnsigned(1, jobId).Bind(2, container).BindUnsigned(3, storageType).Bind(4, bag);
    return put.Run();
  }

  std::vector<JobInfoBagRecord> Bags() override {
    std::vector<JobInfoBagRecord> bags;
    SqlStatement query(StateDb::Current(),
                       "SELECT job_id, container, storage_type, bag FROM job_info_bags "
                       "ORDER BY job_id, container, storage_type;");
    while (query.Step())
      bags.push_back({query.Unsigned(0), query.Text(1), static_cast<uint32_t>(query.Unsigned(2)), query.Text(3)});
    return bags;
  }

  std::vector<JobInfoJobRecord> Jobs() override {
    std::vector<JobInfoJobRecord> jobs;
    SqlStatement query(StateDb::Current(), "SELECT job_id FROM job_info_jobs ORDER BY job_id;");
    while (query.Step())
      if (std::optional<JobInfoJobRecord> job = FindJob(query.Unsigned(0))) jobs.push_back(*job);
    return jobs;
  }

  std::optional<JobInfoJobRecord> FindJob(uint64_t jobId) override {
    SqlStatement query(StateDb::Current(),
                       "SELECT start_time, metadata_type, store_flags, additional_flags, afile_id, "
                       "delimiter, uploaded FROM job_info_jobs WHERE job_id = ?;");
    query.BindUnsigned(1, jobId);
    if (!query.Step()) return std::nullopt;
    JobInfoJobRecord job;
    job.jobId = jobId;
    job.startTime = query.Unsigned(0);
    job.metadataType = static_cast<uint32_t>(query.Unsigned(1));
    job.storeFlags = static_cast<uint32_t>(query.Unsigned(2));
    job.additionalFlags = static_cast<uint32_t>(query.Unsigned(3));
    job.afileId = query.Unsigned(4);
    job.delimiter = query.Text(5);
    job.uploaded = query.Int(6) != 0;
    return job;
  }

  bool PutJob(const JobInfoJobRecord& job) override {
    SqlStatement put(StateDb::Current(),
                     "INSERT OR REPLACE INTO job_info_jobs (job_id, start_time, metadata_type, store_flags, "
                     "additional_flags, afile_id, delimiter, uploaded) VALUES (?, ?, ?, ?, ?, ?, ?, ?);");
    put.BindUnsigned(1, job.jobId).BindUnsigned(2, job.startTime).BindUnsigned(3, job.metadataType);
    put.BindUnsigned(4, job.storeFlags).BindUnsigned(5, job.additionalFlags).BindUnsigned(6, job.afileId);
    put.Bind(7, job.delimiter).Bind(8, job.uploaded ? 1 : 0);
    return put.Run();
  }

  int ListFiles(uint64_t jobId, const std::string& container, std::vector<std::string>& names) override {
    names.clear();
    SqlStatement query(StateDb::Current(),
                       "SELECT name FROM job_info_files WHERE job_id = ? AND container = ? ORDER BY name;");
    query.BindUnsigned(1, jobId).Bind(2, container);
    while (query.Step()) names.push_back(query.Text(0));
    return query.ok() ? 0 : kServiceFailed;
  }

  int ReadFile(uint64_t jobId, const std::string& container, const std::string& name, std::string& contents) override {
    SqlStatement query(StateDb::Current(),
                       "SELECT contents FROM job_info_files WHERE job_id = ? AND container = ? AND name = ?;");
    query.BindUnsigned(1, jobId).Bind(2, container).Bind(3, name);
    if (query.Step()) {
      contents = query.Text(0);
      return 0;
    }
    return query.ok() ? kNotFound : kServiceFailed;
  }

  StateDbResult PutFile(uint64_t jobId, const std::string& container, const std::string& name,
                        const std::string& contents) override {
    if (container.empty() || name.empty())
      return StateDbResult::Refused(EINVAL, "a job-info file needs a container and a name");
    SqlStatement put(StateDb::Current(),
                     "INSERT OR REPLACE INTO job_info_files (job_id, container, name, contents, stored_time) "
                     "VALUES (?, ?, ?, ?, ?);");
    put.BindUnsigned(1, jobId).Bind(2, container).Bind(3, name).BindBlob(4, contents);
    put.BindUnsigned(5, static_cast<uint64_t>(std::time(nullptr))).Run();
    return put.Result();
  }

  std::vector<JobInfoFileRecord> Files() override {
    std::vector<JobInfoFileRecord> files;
    SqlStatement query(StateDb::Current(),
                       "SELECT job_id, container, name, length(contents), stored_time FROM job_info_files "
                       "ORDER BY job_id, container, name;");
    while (query.Step())
      files.push_back({query.Unsigned(0), query.Text(1), query.Text(2), query.Unsigned(3), query.Unsigned(4)});
    return files;
  }
};

}  // namespace

JobInfoMetadataBackend& JobInfoMetadataBackend::Default() {
  static DatabaseJobInfoMetadata* backend = new DatabaseJobInfoMetadata();
  return *backend;
}

}  // namespace platform
