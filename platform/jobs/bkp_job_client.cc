#include "platform/jobs/bkp_job_client.h"

#include <cstring>

#include "platform/config/agent_config.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

class DatabaseJobService : public JobServiceBackend {
 public:
  std::optional<JobRecord> FindJob(uint64_t jobId) override {
    SqlStatement query(StateDb::Current(),
                       "SELECT job_id, cell_id, app_id, level, token, conversions FROM jobs WHERE job_id = ?;");
    query.BindUnsigned(1, jobId);
    if (!query.Step()) return std::nullopt;
    JobRecord job;
    job.jobId = query.Unsigned(0);
    job.cellId = query.Unsigned(1);
    job.appId = query.Unsigned(2);
    job.level = static_cast<int>(query.Int(3));
    job.token = query.Text(4);
    job.conversions = query.Unsigned(5);
    return job;
  }

  bool PutJob(const JobRecord& job) override {
    SqlStatement put(StateDb::Current(),
                     "INSERT OR REPLACE INTO jobs (job_id, cell_id, app_id, level, token, conversions) "
                     "VALUES (?, ?, ?, ?, ?, ?);");
    put.BindUnsigned(1, job.jobId)
        .BindUnsigned(2, job.cellId)
        .BindUnsigned(3, job.appId)
        .Bind(4, job.level)
        .Bind(5, job.token)
        .BindUnsigned(6, job.conversions);
    return put.Run();
  }

  bool ConvertToFull(uint64_t jobId) override {
    StateDb& db = StateDb::Current();
    SqlStatement update(db, "UPDATE jobs SET level = 1, conversions = conversions + 1 WHERE job_id = ?;");
    update.BindUnsigned(1, jobId);
    return update.Run() && sqlite3_changes(db.Handle()) == 1;
  }
};

}  // namespace

JobServiceBackend& JobServiceBackend::Default() {
  static DatabaseJobService* backend = new DatabaseJobService();
  return *backend;
}

}  // namespace platform

bool KZBkpJobClient::init(const std::string& vornServerHost, uint64_t jobId, int, int, bool, const char* jobToken) {
  m_nJobId = 0;
  m_bFullRequested = false;
  int code = 0;
  if (platform::InjectedFaultCode("KZBkpJobClient::init", code)) return false;
  const std::optional<std::string> host = platform::AgentConfig::Current().VornServeHost();
  if (!host || vornServerHost != *host) return false;
  std::optional<platform::JobRecord> job = platform::JobService::Current().FindJob(jobId);
  if (!job || jobToken == nullptr || job->token != jobToken) return false;
  m_nJobId = jobId;
  return true;
}

bool KZBkpJobClient::changeBkpLevelToFull() {
  int code = 0;
  if (m_nJobId == 0 || platform::InjectedFaultCode("KZBkpJobClient::changeBkpLevelToFull", code)) return false;
  m_bFullRequested = true;
  return true;
}

bool KZBkpJobClient::updateInfo(bool, bool*) {
  int code = 0;
  if (m_nJobId == 0 || platform::InjectedFaultCode("KZBkpJobClient::updateInfo", code)) return false;
  if (!m_bFullRequested) return true;
  if (!platform::JobService::Current().ConvertToFull(m_nJobId)) return false;
  m_bFullRequested = false;
  return true;
}
