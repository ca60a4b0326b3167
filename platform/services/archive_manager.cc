#include "platform/services/archive_manager.h"

#include <cerrno>
#include <set>

#include "platform/jobs/bkp_job_client.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/state_db.h"
#include "platform/snapshot/snap_client_api.h"

namespace platform {
namespace {

const char* kColumns =
    "afile_id, job_id, app_id, cell_id, afile_type, cycle_number, create_time, storage_host, copy_id, group_id, flags, "
    "level";

ArchiveFileRecord Read(const SqlStatement& row) {
  ArchiveFileRecord record;
  record.archFileId = row.Unsigned(0);
  record.jobId = row.Unsigned(1);
  record.appId = row.Unsigned(2);
  record.cellId = row.Unsigned(3);
  record.archFileType = static_cast<int>(row.Int(4));
  record.cycleNumber = row.Unsigned(5);
  record.createTime = row.Unsigned(6);
  record.storageHostName = row.Text(7);
  record.copyId = static_cast<uint32_t>(row.Unsigned(8));
  record.groupId = static_cast<uint32_t>(row.Unsigned(9));
  record.flags = static_cast<uint32_t>(row.Unsigned(10));
  record.level = static_cast<int>(row.Int(11));
  return record;
}

class DatabaseArchiveManager : public ArchiveManagerBackend {
 public:
  StateDbResult Put(const ArchiveFileRecord& record) override { return Write(OnTakenKey::kReplace, record); }

  StateDbResult Add(const ArchiveFileRecord& record) override { return Write(OnTakenKey::kRefuse, record); }

  StateDbResult PutUnderNextId(ArchiveFileRecord& record) override {
    return StateDb::Current().Transaction([&] { return ArchiveManagerBackend::PutUnderNextId(record); });
  }

  StateDbResult All(std::vector<ArchiveFileRecord>& records) override {
    SqlStatement query(StateDb::Current(),
                       (std::string("SELECT ") + kColumns + " FROM archive_files ORDER BY afile_id;").c_str());
    return ReadRows(query, records, Read);
  }

  StateDbResult ListForSnapshotJob(const GetArchFileInfoForSnapJob_ArgsCC_t& args,
                                   GetArchFileInfoForSnapJob_Ret_t& ret) override {
    SqlStatement log(StateDb::Current(),
                     "INSERT INTO archive_requests (job_id, second_id, cell_id, snap_job_id) VALUES (?, ?, ?, ?);");
    log.BindUnsigned(1, args.jobId).BindUnsigned(2, args.appOrClientId).BindUnsigned(3, args.cellId);
    log.BindUnsigned(4, args.snapJobId);
    if (!log.Run()) return log.Result();
    SqlStatement query(StateDb::Current(), (std::string("SELECT ") + kColumns +
                                            " FROM archive_files WHERE job_id = ? AND cell_id = ? ORDER BY afile_id;")
                                               .c_str());
    query.BindUnsigned(1, args.snapJobId).BindUnsigned(2, args.cellId);
    ret.archFiles.clear();
    ret.storageHostName.clear();
    std::vector<ArchiveFileRecord> records;
    const StateDbResult read = ReadRows(query, records, Read);
    if (!read) return read;
    for (const ArchiveFileRecord& record : records) {
      if (ret.storageHostName.empty()) ret.storageHostName = record.storageHostName;
      ArchFileInfo_t info;
      info.archFileId = record.archFileId;
      info.cycleNumber = record.cycleNumber;
      info.createTime = record.createTime;
      info.archFileType = record.archFileType;
      ret.archFiles.push_back(info);
    }
    ret.count = ret.archFiles.size();
    return StateDbResult();
  }

  StateDbResult Requests(std::vector<ArchiveRequestRecord>& requests) override {
    SqlStatement query(StateDb::Current(),
                       "SELECT job_id, second_id, cell_id, snap_job_id FROM archive_requests ORDER BY seq;");
    return ReadRows(query, requests, [](const SqlStatement& row) {
      ArchiveRequestRecord request;
      request.jobId = row.Unsigned(0);
      request.appOrClientId = row.Unsigned(1);
      request.cellId = row.Unsigned(2);
      request.snapJobId = row.Unsigned(3);
      return request;
    });
  }

  StateDbResult HighestIdUpTo(uint64_t limit, uint64_t& highest) override {
    // Stored signed: an id of 2^63 or more reads back negative.
    SqlStatement query(StateDb::Current(),
                       "SELECT COALESCE(MAX(afile_id), 0) FROM archive_files WHERE afile_id BETWEEN 0 AND ?;");
    query.BindUnsigned(1, limit > INT64_MAX ? INT64_MAX : limit);
    std::optional<uint64_t> found;
    const StateDbResult read = ReadFirstRow(query, found, [](const SqlStatement& row) { return row.Unsigned(0); });
    highest = found.value_or(0);
    if (read && !found) return StateDbResult::Refused(EIO, "no highest archive file id read");
    return read;
  }

  int LastOfCycle(const GetLastAfileOfCycleArgs_t& args, GetLastAfileOfCycleRet_t& ret) override {
    SqlStatement given(StateDb::Current(),
                       (std::string("SELECT ") + kColumns + " FROM archive_files WHERE afile_id = ?;").c_str());
    given.BindUnsigned(1, args.archFileId);
    std::optional<ArchiveFileRecord> origin;
    if (!ReadFirstRow(given, origin, Read)) return kServiceFailed;
    if (!origin) return 1168;
    SqlStatement last(StateDb::Current(), (std::string("SELECT ") + kColumns +
                                           " FROM archive_files WHERE app_id = ? AND cell_id = ? AND cycle_number = ? "
                                           "AND afile_type = ? ORDER BY create_time DESC, afile_id DESC LIMIT 1;")
                                              .c_str());
    last.BindUnsigned(1, origin->appId)
        .BindUnsigned(2, origin->cellId)
        .BindUnsigned(3, args.cycleNumber)
        .Bind(4, args.archFileType);
    std::optional<ArchiveFileRecord> found;
    if (!ReadFirstRow(last, found, Read)) return kServiceFailed;
    if (!found) return 1168;
    ret.archFileId = found->archFileId;
    ret.createTime = found->createTime;
    ret.storageHostName = found->storageHostName;
    return 0;
  }

 private:
  StateDbResult Write(OnTakenKey onTaken, const ArchiveFileRecord& record) {
    SqlStatement put(StateDb::Current(), InsertInto(onTaken, std::string("archive_files (") + kColumns +
                                                                 ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);")
                                             .c_str());
    put.BindUnsigned(1, record.archFileId)
        .BindUnsigned(2, record.jobId)
        .BindUnsigned(3, record.appId)
        .BindUnsigned(4, record.cellId)
        .Bind(5, record.archFileType)
        .BindUnsigned(6, record.cycleNumber)
        .BindUnsigned(7, record.createTime)
        .Bind(8, record.storageHostName)
        .BindUnsigned(9, record.copyId)
        .BindUnsigned(10, record.groupId)
        .BindUnsigned(11, record.flags)
        .Bind(12, record.level);
    put.Run();
    return put.Result();
  }
};

}  // namespace

ArchiveManagerBackend& ArchiveManagerBackend::Default() {
  static DatabaseArchiveManager* backend = new DatabaseArchiveManager();
  return *backend;
}

}  // namespace platform

int ArMgrClientAPI::getArchFileListForSnapshotJob(GetArchFileInfoForSnapJob_ArgsCC_t* args,
                                                  GetArchFileInfoForSnapJob_Ret_t* ret) {
  m_oLastFailure = CQiError();
  int code = 0;
  if (platform::InjectedFaultCode("ArMgrClientAPI::getArchFileListForSnapshotJob", code)) return code != 0 ? code : -1;
  if (args == nullptr || ret == nullptr) return 87;
  const platform::StateDbResult listed = platform::ArchiveManager::Current().ListForSnapshotJob(*args, *ret);
  if (listed) return 0;
  m_oLastFailure = platform::StateDbFailure(FXCODELOC, listed, "Cannot list the archive files of snapshot job %llu",
                                            static_cast<unsigned long long>(args->snapJobId));
  return listed.Code();
}

int ArMgrClientAPI::getLastAfileOfCycle(GetLastAfileOfCycleArgs_t* args, GetLastAfileOfCycleRet_t* ret) {
  int code = 0;
  if (platform::InjectedFaultCode("ArMgrClientAPI::getLastAfileOfCycle", code)) return code != 0 ? code : -1;
  if (args == nullptr || ret == nullptr) return 87;
  return platform::ArchiveManager::Current().LastOfCycle(*args, *ret);
}

int ArMgrClientAPI::getAfileInfo(GetAfileInfoArgsCC_t* args, GetAfileInfoRetCC_t* ret) {
  int code = 0;
  if (platform::InjectedFaultCode("ArMgrClientAPI::getAfileInfo", code)) return code != 0 ? code : -1;
  if (args == nullptr || ret == nullptr) return 87;
  std::vector<platform::ArchiveFileRecord> records;
  if (!platform::ArchiveManager::Current().All(records)) return platform::kServiceFailed;
  for (const platform::ArchiveFileRecord& record : records) {
    if (record.archFileId != args->archFileId || (args->cellId != 0 && record.cellId != args->cellId)) continue;
    ret->archFileId = record.archFileId;
    ret->archGroupId = record.groupId;
    ret->cellId = record.cellId;
    ret->createTime = record.createTime;
    ret->flags = record.flags;
    ret->backupLevel = record.level;
    ret->storageHostName = record.storageHostName;
    return 0;
  }
  return 1168;
}

int ArMgrClientAPI::convertCopyIdToCopyPrecedence(uint32_t archGroupId, uint32_t copyId, uint32_t& copyPrecedence) {
  int code = 0;
  if (platform::InjectedFaultCode("ArMgrClientAPI::convertCopyIdToCopyPrecedence", code)) return code != 0 ? code : -1;
  std::vector<platform::ArchiveFileRecord> records;
  if (!platform::ArchiveManager::Current().All(records)) return platform::kServiceFailed;
  for (const platform::ArchiveFileRecord& record : records)
    if (record.groupId == archGroupId && record.copyId == copyId) {
      copyPrecedence = copyId;
      return 0;
    }
  return 1168;
}

int ArMgrClientAPI::getUnMaterializedSnaps(GetUnMaterializedSnapsArgs_t* args, GetUnMaterializedSnapsRet_t* ret) {
  int code = 0;
  if (platform::InjectedFaultCode("ArMgrClientAPI::getUnMaterializedSnaps", code)) return code != 0 ? code : -1;
  if (args == nullptr || ret == nullptr) return 87;
  std::vector<SMVolSnapInfo> records;
  std::vector<platform::JobRecord> jobs;
  if (!platform::SnapshotLibrary::Current().Records(records) || !platform::JobService::Current().Jobs(jobs))
    return platform::kServiceFailed;
  std::set<uint64_t> stored, cloned;
  for (const SMVolSnapInfo& record : records) {
    if (record.getVornCellId() != args->cellId) continue;
    // A pseudo-snap job's record is a clone of its snapshot job's: it makes
    // that job materialised and is no snapshot job itself.
    if (record.getSnapJobId() != 0 && record.getSnapJobId() != record.getJobId())
      cloned.insert(record.getSnapJobId());
    else
      stored.insert(record.getJobId());
  }
  ret->snaps.clear();
  for (const platform::JobRecord& job : jobs)
    if (job.cellId == args->cellId && job.appId == args->appId && job.jobId < args->currentSnapJobId &&
        stored.count(job.jobId) != 0 && cloned.count(job.jobId) == 0)
      ret->snaps.push_back({job.jobId, job.cellId});
  return 0;
}
