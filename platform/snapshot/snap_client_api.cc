#include "platform/snapshot/snap_client_api.h"

#include "platform/sim/fault_table.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

class DatabaseSnapshotLibrary : public SnapshotLibraryBackend {
 public:
  StateDbResult FindRecord(uint32_t cellId, uint64_t jobId, std::optional<SMVolSnapInfo>& record) override {
    SqlStatement query(StateDb::Current(), "SELECT record FROM snap_records WHERE cell_id = ? AND job_id = ?;");
    query.BindUnsigned(1, cellId).BindUnsigned(2, jobId);
    std::optional<std::optional<SMVolSnapInfo>> found;
    const StateDbResult read = ReadFirstRow(query, found, [](const SqlStatement& row) { return Parse(row.Text(0)); });
    record = found ? *found : std::nullopt;
    return read;
  }

  bool PutRecord(const SMVolSnapInfo& record) override {
    SqlStatement put(StateDb::Current(),
                     "INSERT OR REPLACE INTO snap_records (cell_id, job_id, record) VALUES (?, ?, ?);");
    return put.BindUnsigned(1, record.getVornCellId())
        .BindUnsigned(2, record.getJobId())
        .Bind(3, record.ToText())
        .Run();
  }

  StateDbResult Records(std::vector<SMVolSnapInfo>& records) override {
    records.clear();
    SqlStatement query(StateDb::Current(), "SELECT record FROM snap_records ORDER BY cell_id, job_id;");
    const StateDbResult read = ForEachRow(query, [&records](const SqlStatement& row) {
      if (std::optional<SMVolSnapInfo> record = Parse(row.Text(0))) records.push_back(*record);
    });
    if (!read) records.clear();
    return read;
  }

  StateDbResult FindEngine(int engineId, std::optional<SMEngineInfo>& engine) override {
    SqlStatement query(StateDb::Current(), "SELECT engine_id, name FROM snap_engines WHERE engine_id = ?;");
    query.Bind(1, engineId);
    return ReadFirstRow(query, engine, ReadEngine);
  }

  bool PutEngine(const SMEngineInfo& engine) override {
    SqlStatement put(StateDb::Current(), "INSERT OR REPLACE INTO snap_engines (engine_id, name) VALUES (?, ?);");
    return put.Bind(1, engine.engineId).Bind(2, engine.name).Run();
  }

  StateDbResult Engines(std::vector<SMEngineInfo>& engines) override {
    SqlStatement query(StateDb::Current(), "SELECT engine_id, name FROM snap_engines ORDER BY engine_id;");
    return ReadRows(query, engines, ReadEngine);
  }

  bool LogCall(const SnapServiceCall& call) override {
    SqlStatement put(StateDb::Current(), "INSERT INTO snap_calls (call, request, result) VALUES (?, ?, ?);");
    return put.Bind(1, call.call).Bind(2, call.request).Bind(3, call.result).Run();
  }

  StateDbResult Calls(std::vector<SnapServiceCall>& calls) override {
    SqlStatement query(StateDb::Current(), "SELECT call, request, result FROM snap_calls ORDER BY seq;");
    return ReadRows(query, calls, [](const SqlStatement& row) {
      return SnapServiceCall{row.Text(0), row.Text(1), static_cast<int>(row.Int(2))};
    });
  }

  StateDbResult FindCopyId(uint64_t jobId, uint32_t archiveType, std::optional<uint32_t>& copyId) override {
    SqlStatement query(StateDb::Current(),
                       "SELECT copy_id FROM snap_util_copy_ids WHERE job_id = ? AND archive_type = ?;");
    query.BindUnsigned(1, jobId).BindUnsigned(2, archiveType);
    return ReadFirstRow(query, copyId, [](const SqlStatement& row) { return static_cast<uint32_t>(row.Unsigned(0)); });
  }

  bool PutCopyId(const SnapUtilCopyId& setting) override {
    SqlStatement put(StateDb::Current(),
                     "INSERT OR REPLACE INTO snap_util_copy_ids (job_id, archive_type, copy_id) VALUES (?, ?, ?);");
    return put.BindUnsigned(1, setting.jobId)
        .BindUnsigned(2, setting.archiveType)
        .BindUnsigned(3, setting.copyId)
        .Run();
  }

  StateDbResult CopyIds(std::vector<SnapUtilCopyId>& settings) override {
    SqlStatement query(StateDb::Current(),
                       "SELECT job_id, archive_type, copy_id FROM snap_util_copy_ids ORDER BY job_id, archive_type;");
    return ReadRows(query, settings, [](const SqlStatement& row) {
      return SnapUtilCopyId{row.Unsigned(0), static_cast<uint32_t>(row.Unsigned(1)),
                            static_cast<uint32_t>(row.Unsigned(2))};
    });
  }

 private:
  static SMEngineInfo ReadEngine(const SqlStatement& row) {
    return SMEngineInfo{static_cast<int>(row.Int(0)), row.Text(1)};
  }

  // A stored text was checked when it was stored; one that no longer reads
  // is no record.
  static std::optional<SMVolSnapInfo> Parse(const std::string& text) {
    SMVolSnapInfo record;
    std::string why;
    if (!SMVolSnapInfo::FromText(text, record, why)) return std::nullopt;
    return record;
  }
};

std::string RequestFields(const SMVolSnapInfo& record) {
  return "job=" + std::to_string(record.getJobId()) + " snapjob=" + std::to_string(record.getSnapJobId()) +
         " cell=" + std::to_string(record.getVornCellId()) + " action=" + std::to_string(record.getSnapActionFlags()) +
         " retrieve=" + std::to_string(record.getRetrieveValidFlags()) +
         " copytype=" + std::to_string(record.getCopyParamType()) + " copy=" + std::to_string(record.getCopyParam());
}

}  // namespace

SnapshotLibraryBackend& SnapshotLibraryBackend::Default() {
  static DatabaseSnapshotLibrary* backend = new DatabaseSnapshotLibrary();
  return *backend;
}

}  // namespace platform

bool KZSnapClientAPI::Failed(int code, const std::string& text) {
  m_nErrorCode = code;
  m_sError = text;
  return false;
}

bool KZSnapClientAPI::getVolumeSnaps(SMVolSnapInfo& record) {
  platform::SnapshotLibraryBackend& library = platform::SnapshotLibrary::Current();
  platform::SnapServiceCall call{"getVolumeSnaps", platform::RequestFields(record), 0};
  int code = 0;
  std::optional<SMVolSnapInfo> stored;
  if (platform::InjectedFaultCode("KZSnapClientAPI::getVolumeSnaps", code))
    call.result = code != 0 ? code : -1;
  else if (!library.FindRecord(record.getVornCellId(), record.getSnapJobId(), stored))
    call.result = platform::kServiceFailed;
  else if (!stored)
    call.result = 1168;
  library.LogCall(call);
  if (call.result != 0) {
    record.setError(call.result, call.result == platform::kServiceFailed ? "the volume snap records cannot be read"
                                                                         : "no volume snap record for the job");
    return Failed(call.result, "Failed to get volume snap info for job " + std::to_string(record.getSnapJobId()));
  }
  record.TakeStored(*stored);
  record.setError(0, "");
  return true;
}

bool KZSnapClientAPI::updateVolumeSnaps(SMVolSnapInfo& record) {
  platform::SnapshotLibraryBackend& library = platform::SnapshotLibrary::Current();
  platform::SnapServiceCall call{"updateVolumeSnaps", platform::RequestFields(record), 0};
  int code = 0;
  if (platform::InjectedFaultCode("KZSnapClientAPI::updateVolumeSnaps", code))
    call.result = code != 0 ? code : -1;
  else if (!library.PutRecord(record))
    call.result = 1627;
  library.LogCall(call);
  if (call.result != 0)
    return Failed(call.result, "Failed to store volume snap info for job " + std::to_string(record.getJobId()));
  return true;
}

bool KZSnapClientAPI::GetDiskVolSnapForASMVolSnap(const SMVolSnapInfo& asmRecord, SMVolSnapInfo& diskRecord) {
  platform::SnapshotLibraryBackend& library = platform::SnapshotLibrary::Current();
  platform::SnapServiceCall call{"GetDiskVolSnapForASMVolSnap", platform::RequestFields(asmRecord), 0};
  int code = 0;
  if (platform::InjectedFaultCode("KZSnapClientAPI::GetDiskVolSnapForASMVolSnap", code))
    call.result = code != 0 ? code : -1;
  else if (asmRecord.getDiskVolumeList().empty())
    call.result = 1168;
  library.LogCall(call);
  if (call.result != 0)
    return Failed(call.result, "No disk level volume snap info for job " + std::to_string(asmRecord.getSnapJobId()));
  SMVolSnapInfo made;
  made.TakeStored(asmRecord);
  made.getVolumeList() = asmRecord.getDiskVolumeList();
  made.getDiskVolumeList().clear();
  diskRecord = made;
  return true;
}

bool KZSnapClientAPI::CloneASMVolSnapForBlockEngine(const SMVolSnapInfo& asmRecord, SMVolSnapInfo& clone) {
  platform::SnapshotLibraryBackend& library = platform::SnapshotLibrary::Current();
  platform::SnapServiceCall call{"CloneASMVolSnapForBlockEngine", platform::RequestFields(clone), 0};
  int code = 0;
  if (platform::InjectedFaultCode("KZSnapClientAPI::CloneASMVolSnapForBlockEngine", code))
    call.result = code != 0 ? code : -1;
  library.LogCall(call);
  if (call.result != 0) return Failed(call.result, "Failed to clone ASM metadata");
  clone.getDiskVolumeList() = asmRecord.getDiskVolumeList();
  clone.setAsmCloned(true);
  return true;
}

bool KZQMSnapHandler::getEngineInfoByEngineID(int engineId, SMEngineInfo& engine) {
  int code = 0;
  if (platform::InjectedFaultCode("KZQMSnapHandler::getEngineInfoByEngineID", code)) return false;
  std::optional<SMEngineInfo> found;
  if (!platform::SnapshotLibrary::Current().FindEngine(engineId, found) || !found) return false;
  engine = *found;
  return true;
}
