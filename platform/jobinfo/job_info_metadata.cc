#include "platform/jobinfo/job_info_metadata.h"

#include <cerrno>
#include <ctime>

#include "platform/sim/state_db.h"

namespace platform {
namespace {

constexpr int kNotFound = 1168;

constexpr const char* kJobSelect =
    "SELECT job_id, start_time, metadata_type, store_flags, additional_flags, afile_id, delimiter, uploaded "
    "FROM job_info_jobs ";

JobInfoJobRecord ReadJob(const SqlStatement& row) {
  JobInfoJobRecord job;
  job.jobId = row.Unsigned(0);
  job.startTime = row.Unsigned(1);
  job.metadataType = static_cast<uint32_t>(row.Unsigned(2));
  job.storeFlags = static_cast<uint32_t>(row.Unsigned(3));
  job.additionalFlags = static_cast<uint32_t>(row.Unsigned(4));
  job.afileId = row.Unsigned(5);
  job.delimiter = row.Text(6);
  job.uploaded = row.Int(7) != 0;
  return job;
}

class DatabaseJobInfoMetadata : public JobInfoMetadataBackend {
 public:
  int ReadBag(uint64_t jobId, const std::string& container, uint32_t storageType, std::string& bag) override {
    SqlStatement query(StateDb::Current(),
                       "SELECT bag FROM job_info_bags WHERE job_id = ? AND container = ? AND storage_type = ?;");
    query.BindUnsigned(1, jobId).Bind(2, container).BindUnsigned(3, storageType);
    std::optional<std::string> found;
    if (!ReadFirstRow(query, found, [](const SqlStatement& row) { return row.Text(0); })) return kServiceFailed;
    if (!found) return kNotFound;
    bag = *found;
    return 0;
  }

  bool PutBag(uint64_t jobId, const std::string& container, uint32_t storageType, const std::string& bag) override {
    SqlStatement put(
        StateDb::Current(),
        "INSERT OR REPLACE INTO job_info_bags (job_id, container, storage_type, bag) VALUES (?, ?, ?, ?);");
    put.BindUnsigned(1, jobId).Bind(2, container).BindUnsigned(3, storageType).Bind(4, bag);
    return put.Run();
  }

  StateDbResult Bags(std::vector<JobInfoBagRecord>& bags) override {
    SqlStatement query(StateDb::Current(),
                       "SELECT job_id, container, storage_type, bag FROM job_info_bags "
                       "ORDER BY job_id, container, storage_type;");
    return ReadRows(query, bags, [](const SqlStatement& row) {
      return JobInfoBagRecord{row.Unsigned(0), row.Text(1), static_cast<uint32_t>(row.Unsigned(2)), row.Text(3)};
    });
  }

  StateDbResult Jobs(std::vector<JobInfoJobRecord>& jobs) override {
    SqlStatement query(StateDb::Current(), (std::string(kJobSelect) + "ORDER BY job_id;").c_str());
    return ReadRows(query, jobs, ReadJob);
  }

  StateDbResult FindJob(uint64_t jobId, std::optional<JobInfoJobRecord>& job) override {
    SqlStatement query(StateDb::Current(), (std::string(kJobSelect) + "WHERE job_id = ?;").c_str());
    query.BindUnsigned(1, jobId);
    return ReadFirstRow(query, job, ReadJob);
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
    return ReadRows(query, names, [](const SqlStatement& row) { return row.Text(0); }) ? 0 : kServiceFailed;
  }

  int ReadFile(uint64_t jobId, const std::string& container, const std::string& name, std::string& contents) override {
    SqlStatement query(StateDb::Current(),
                       "SELECT contents FROM job_info_files WHERE job_id = ? AND container = ? AND name = ?;");
    query.BindUnsigned(1, jobId).Bind(2, container).Bind(3, name);
    std::optional<std::string> found;
    if (!ReadFirstRow(query, found, [](const SqlStatement& row) { return row.Text(0); })) return kServiceFailed;
    if (!found) return kNotFound;
    contents = *found;
    return 0;
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

  StateDbResult Files(std::vector<JobInfoFileRecord>& files) override {
    SqlStatement query(StateDb::Current(),
                       "SELECT job_id, container, name, length(contents), stored_time FROM job_info_files "
                       "ORDER BY job_id, container, name;");
    return ReadRows(query, files, [](const SqlStatement& row) {
      return JobInfoFileRecord{row.Unsigned(0), row.Text(1), row.Text(2), row.Unsigned(3), row.Unsigned(4)};
    });
  }
};

}  // namespace

JobInfoMetadataBackend& JobInfoMetadataBackend::Default() {
  static DatabaseJobInfoMetadata* backend = new DatabaseJobInfoMetadata();
  return *backend;
}

}  // namespace platform
