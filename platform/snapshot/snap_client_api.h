#pragma once
// The snapshot service's clients, simulated over the state database: the
// volume-snap records of jobs ("snap_records", one text form per cell and
// job, see sm_vol_snap_info.h), the snap engines ("snap_engines"; `blbsim
// init` adds the block-level engine 53) and a log of every call with its
// request fields ("snap_calls", `blbsim snap calls`), and the copy ids the
// harness settles for the snap utility's archives ("snap_util_copy_ids").
//
// Faults: "KZSnapClientAPI::getVolumeSnaps", "KZSnapClientAPI::updateVolumeSnaps",
// "KZSnapClientAPI::GetDiskVolSnapForASMVolSnap",
// "KZSnapClientAPI::CloneASMVolSnapForBlockEngine",
// "KZQMSnapHandler::getEngineInfoByEngineID" (the call answers false; the
// API's error is the fault's code).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/backend.h"
#include "platform/sim/state_db_failure.h"
#include "platform/snapshot/sm_vol_snap_info.h"

class KZSnapClientAPI {
 public:
  // Loads the stored record of the request's cell and snapshot job into the
  // record (its requests kept). False with error 1168 when none is stored,
  // 1627 when the records cannot be read.
  bool getVolumeSnaps(SMVolSnapInfo& record);
  // Stores the record under its own cell and job, replacing what was there.
  bool updateVolumeSnaps(SMVolSnapInfo& record);
  // The disk-level record of an ASM snapshot record: its header and, as
  // volumes, its disk-level volumes (device, disk group as origin and path).
  // False with error 1168 when the record has none.
  bool GetDiskVolSnapForASMVolSnap(const SMVolSnapInfo& asmRecord, SMVolSnapInfo& diskRecord);
  // Gives the block-level clone the ASM record's disk-level volumes and marks
  // it ASM-cloned; the clone is stored when it is next updated.
  bool CloneASMVolSnapForBlockEngine(const SMVolSnapInfo& asmRecord, SMVolSnapInfo& clone);
  // The last failure of this client: code and text.
  void getErrCodeAndStr(int& code, std::string& text) const {
    code = m_nErrorCode;
    text = m_sError;
  }

 private:
  bool Failed(int code, const std::string& text);

  int m_nErrorCode = 0;
  std::string m_sError;
};

class KZQMSnapHandler {
 public:
  // False for an engine the service does not know.
  bool getEngineInfoByEngineID(int engineId, SMEngineInfo& engine);
};

namespace platform {

// One call of the snapshot service: its name, its request and its result.
struct SnapServiceCall {
  std::string call;
  std::string request;
  int result = 0;
};

// The copy id the harness settled for a job's snap-utility archives of one
// type (the first field of `CreateArgs_t`: 1 data, 4 log).
struct SnapUtilCopyId {
  uint64_t jobId = 0;
  uint32_t archiveType = 0;
  uint32_t copyId = 0;
};

// The readers return done (nothing found included) or why the read
// failed: a failed read is never taken for a record that is not there.
class SnapshotLibraryBackend {
 public:
  virtual ~SnapshotLibraryBackend() = default;
  virtual StateDbResult FindRecord(uint32_t cellId, uint64_t jobId, std::optional<SMVolSnapInfo>& record) = 0;
  virtual bool PutRecord(const SMVolSnapInfo& record) = 0;
  // Every stored record, by cell and job.
  virtual StateDbResult Records(std::vector<SMVolSnapInfo>& records) = 0;
  virtual StateDbResult FindEngine(int engineId, std::optional<SMEngineInfo>& engine) = 0;
  virtual bool PutEngine(const SMEngineInfo& engine) = 0;
  virtual StateDbResult Engines(std::vector<SMEngineInfo>& engines) = 0;
  virtual bool LogCall(const SnapServiceCall& call) = 0;
  virtual StateDbResult Calls(std::vector<SnapServiceCall>& calls) = 0;
  // Nothing when the harness left the job's archives of that type to the
  // utility's own rule.
  virtual StateDbResult FindCopyId(uint64_t, uint32_t, std::optional<uint32_t>& copyId) {
    copyId.reset();
    return StateDbResult();
  }
  // Adds the setting or replaces the one of its job and type.
  virtual bool PutCopyId(const SnapUtilCopyId&) { return false; }
  // Every setting, by job and type.
  virtual StateDbResult CopyIds(std::vector<SnapUtilCopyId>& settings) {
    settings.clear();
    return StateDbResult();
  }

  static SnapshotLibraryBackend& Default();
};

using SnapshotLibrary = Backend<SnapshotLibraryBackend>;

// The block-level snap engine a pseudo-snap clone is made for.
constexpr int kBlockLevelSnapEngine = 53;

}  // namespace platform
