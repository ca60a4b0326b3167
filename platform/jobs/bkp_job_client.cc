#include "platform/jobs/bkp_job_client.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/config/agent_config.h"
#include "platform/jobs/job_details.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/state_db.h"
#include "platform/text/fx_string.h"

namespace platform {
namespace {

class DatabaseJobService : public JobServiceBackend {
 public:
  StateDbResult FindJob(uint64_t jobId, std::optional<JobRecord>& job) override {
    return ReadFirstRow(*Query("WHERE job_id = ?", {jobId}), job, Read);
  }

  StateDbResult Jobs(std::vector<JobRecord>& jobs) override {
    return ReadRows(*Query("ORDER BY job_id", {}), jobs, Read);
  }

  StateDbResult NewestCopiedIncremental(uint64_t cellId, uint64_t appId, std::optional<JobRecord>& job) override {
    return ReadFirstRow(
        *Query("WHERE cell_id = ? AND app_id = ? AND level = 2 AND backup_copy_done != 0 ORDER BY job_id DESC LIMIT 1",
               {cellId, appId}),
        job, Read);
  }

  // The jobs selected by an SQL tail whose '?' take the values in order.
  static std::unique_ptr<SqlStatement> Query(const std::string& where, const std::vector<uint64_t>& values) {
    const std::string sql =
        "SELECT job_id, cell_id, app_id, level, token, conversions, snap_job_id, copy_id, backup_copy_done, "
        "start_time, end_time FROM jobs " +
        where + ";";
    auto query = std::make_unique<SqlStatement>(StateDb::Current(), sql.c_str());
    int index = 1;
    for (uint64_t value : values) query->BindUnsigned(index++, value);
    return query;
  }

  static JobRecord Read(const SqlStatement& query) {
    JobRecord job;
    job.jobId = query.Unsigned(0);
    job.cellId = query.Unsigned(1);
    job.appId = query.Unsigned(2);
    job.level = static_cast<int>(query.Int(3));
    job.token = query.Text(4);
    job.conversions = query.Unsigned(5);
    job.snapJobId = query.Unsigned(6);
    job.copyId = static_cast<uint32_t>(query.Unsigned(7));
    job.backupCopyDone = query.Int(8) != 0;
    job.startTime = query.Unsigned(9);
    job.endTime = query.Unsigned(10);
    return job;
  }

  StateDbResult PutJob(const JobRecord& job) override { return WriteJob(OnTakenKey::kReplace, job); }

  StateDbResult AddJob(const JobRecord& job) override { return WriteJob(OnTakenKey::kRefuse, job); }

  StateDbResult WriteJob(OnTakenKey onTaken, const JobRecord& job) {
    SqlStatement put(StateDb::Current(),
                     InsertInto(onTaken,
                                "jobs (job_id, cell_id, app_id, level, token, conversions, snap_job_id, copy_id, "
                                "backup_copy_done, start_time, end_time) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);")
                         .c_str());
    put.BindUnsigned(1, job.jobId)
        .BindUnsigned(2, job.cellId)
        .BindUnsigned(3, job.appId)
        .Bind(4, job.level)
        .Bind(5, job.token)
        .BindUnsigned(6, job.conversions)
        .BindUnsigned(7, job.snapJobId)
        .BindUnsigned(8, job.copyId)
        .Bind(9, job.backupCopyDone ? 1 : 0)
        .BindUnsigned(10, job.startTime)
        .BindUnsigned(11, job.endTime);
    put.Run();
    return put.Result();
  }

  bool ConvertToFull(uint64_t jobId) override {
    StateDb& db = StateDb::Current();
    SqlStatement update(db, "UPDATE jobs SET level = 1, conversions = conversions + 1 WHERE job_id = ?;");
    update.BindUnsigned(1, jobId);
    return update.Run() && sqlite3_changes(db.Handle()) == 1;
  }

  bool LogCall(uint64_t jobId, const JobClientCall& call) override {
    SqlStatement put(StateDb::Current(), "INSERT INTO job_client_calls (job_id, call, succeeded) VALUES (?, ?, ?);");
    return put.BindUnsigned(1, jobId).Bind(2, call.call).Bind(3, call.succeeded ? 1 : 0).Run();
  }

  StateDbResult Calls(uint64_t jobId, std::vector<JobClientCall>& calls) override {
    SqlStatement query(StateDb::Current(),
                       "SELECT call, succeeded FROM job_client_calls WHERE job_id = ? ORDER BY seq;");
    query.BindUnsigned(1, jobId);
    return ReadRows(query, calls, [](const SqlStatement& row) { return JobClientCall{row.Text(0), row.Int(1) != 0}; });
  }

  StateDbResult QuitFlag(uint64_t jobId, std::optional<bool>& quit) override {
    SqlStatement query(StateDb::Current(), "SELECT quit_flag FROM jobs WHERE job_id = ?;");
    query.BindUnsigned(1, jobId);
    return ReadFirstRow(query, quit, [](const SqlStatement& row) { return row.Int(0) != 0; });
  }

  bool SetQuitFlag(uint64_t jobId, bool quit) override {
    StateDb& db = StateDb::Current();
    SqlStatement update(db, "UPDATE jobs SET quit_flag = ? WHERE job_id = ?;");
    update.Bind(1, quit ? 1 : 0).BindUnsigned(2, jobId);
    return update.Run() && sqlite3_changes(db.Handle()) == 1;
  }

  bool AddAttributes(uint64_t jobId, uint32_t attributes) override {
    StateDb& db = StateDb::Current();
    SqlStatement update(db, "UPDATE jobs SET attributes = attributes | ? WHERE job_id = ?;");
    update.BindUnsigned(1, attributes).BindUnsigned(2, jobId);
    return update.Run() && sqlite3_changes(db.Handle()) == 1;
  }

  StateDbResult Attributes(uint64_t jobId, std::optional<uint32_t>& attributes) override {
    SqlStatement query(StateDb::Current(), "SELECT attributes FROM jobs WHERE job_id = ?;");
    query.BindUnsigned(1, jobId);
    return ReadFirstRow(query, attributes,
                        [](const SqlStatement& row) { return static_cast<uint32_t>(row.Unsigned(0)); });
  }

  StateDbResult SetJobTimes(uint64_t jobId, uint64_t startTime, uint64_t endTime) override {
    StateDb& db = StateDb::Current();
    SqlStatement update(db, "UPDATE jobs SET start_time = ?, end_time = ? WHERE job_id = ?;");
    update.BindUnsigned(1, startTime).BindUnsigned(2, endTime).BindUnsigned(3, jobId);
    if (!update.Run()) return update.Result();
    if (sqlite3_changes(db.Handle()) != 1)
      return StateDbResult::Refused(ENOENT, "no job " + std::to_string(jobId) + " in the job service");
    return StateDbResult();
  }
};

}  // namespace

JobServiceBackend& JobServiceBackend::Default() {
  static DatabaseJobService* backend = new DatabaseJobService();
  return *backend;
}

}  // namespace platform

bool KZBkpJobClient::Logged(const std::string& call, bool succeeded) {
  if (m_nNamedJobId != 0) platform::JobService::Current().LogCall(m_nNamedJobId, {call, succeeded});
  return succeeded;
}

bool KZBkpJobClient::init(const std::string& vornServerHost, uint64_t jobId, int jobType, int platformType, bool attach,
                          const char* jobToken) {
  m_nJobId = 0;
  m_nNamedJobId = jobId;
  m_bFullRequested = false;
  // The token itself stays out of the log.
  const std::string call = "init(" + vornServerHost + ", " + std::to_string(jobId) + ", " + std::to_string(jobType) +
                           ", " + std::to_string(platformType) + ", " + (attach ? "true" : "false") +
                           (jobToken != nullptr ? ", <token>)" : ")");
  int code = 0;
  if (platform::InjectedFaultCode("KZBkpJobClient::init", code)) return Logged(call, false);
  std::optional<std::string> host;
  if (!platform::AgentConfig::Current().VornServeHost(host) || !host || vornServerHost != *host)
    return Logged(call, false);
  std::optional<platform::JobRecord> job;
  if (!platform::JobService::Current().FindJob(jobId, job) || !job) return Logged(call, false);
  const bool tokenless = !attach && jobToken == nullptr;
  if (!tokenless && (jobToken == nullptr || job->token != jobToken)) return Logged(call, false);
  m_nJobId = jobId;
  return Logged(call, true);
}

bool KZBkpJobClient::changeBkpLevelToFull() {
  int code = 0;
  if (m_nJobId == 0 || platform::InjectedFaultCode("KZBkpJobClient::changeBkpLevelToFull", code))
    return Logged("changeBkpLevelToFull()", false);
  m_bFullRequested = true;
  return Logged("changeBkpLevelToFull()", true);
}

bool KZBkpJobClient::resetListOfVolumesWithMissingExtents() {
  int code = 0;
  const char* call = "resetListOfVolumesWithMissingExtents()";
  if (m_nJobId == 0 || platform::InjectedFaultCode("KZBkpJobClient::resetListOfVolumesWithMissingExtents", code))
    return Logged(call, false);
  return Logged(call, true);
}

bool KZBkpJobClient::updateInfo(bool flag, bool*) {
  const std::string call = std::string("updateInfo(") + (flag ? "true" : "false") + ")";
  int code = 0;
  if (m_nJobId == 0 || platform::InjectedFaultCode("KZBkpJobClient::updateInfo", code)) return Logged(call, false);
  platform::JobServiceBackend& service = platform::JobService::Current();
  if (m_nAttributes != 0) {
    if (!service.AddAttributes(m_nTargetJobId != 0 ? m_nTargetJobId : m_nJobId, m_nAttributes))
      return Logged(call, false);
    m_nAttributes = 0;
  }
  if (!m_bFullRequested) return Logged(call, true);
  if (!service.ConvertToFull(m_nJobId)) return Logged(call, false);
  m_bFullRequested = false;
  return Logged(call, true);
}

void KZBkpJobClient::setBkpAttributes(uint32_t attributes) {
  m_nAttributes |= attributes;
  Logged(FXString::Format("setBkpAttributes(0x%x)", attributes), true);
}

bool KZBkpJobClient::getXmlBlob(std::string& xml, uint64_t cellId) {
  const std::string call = "getXmlBlob(" + std::to_string(m_nTargetJobId) + ", " + std::to_string(cellId) + ")";
  int code = 0;
  if (m_nJobId == 0 || platform::InjectedFaultCode("KZBkpJobClient::getXmlBlob", code)) return Logged(call, false);
  std::optional<std::string> blob = platform::JobXmlBlob(m_nTargetJobId);
  if (!blob) return Logged(call, false);
  xml = *blob;
  return Logged(call, true);
}

bool KZBkpJobClient::setXmlBlob(const std::string& xml, int flags) {
  const std::string call = "setXmlBlob(" + std::to_string(m_nTargetJobId) + ", " + std::to_string(flags) + ")";
  int code = 0;
  if (m_nJobId == 0 || platform::InjectedFaultCode("KZBkpJobClient::setXmlBlob", code)) return Logged(call, false);
  return Logged(call, platform::SetJobXmlBlob(m_nTargetJobId, xml));
}
