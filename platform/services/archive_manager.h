#pragma once
// The agent's archive manager, simulated over the `archive_files` table: the
// archive files that jobs wrote, each with its type, its backup cycle, its
// creation time and the storage server (Stowhost) that holds it. The harness
// or a test registers the rows; the `archive_requests` table logs every
// snapshot-job listing asked for.
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/backend.h"
#include "platform/sim/state_db_failure.h"

// Request: the archive files of a snapshot job. A job id is unique in its
// cell, so the job and the cell select the files; callers put an
// application id or a client id in the second field, and it selects nothing.
struct GetArchFileInfoForSnapJob_ArgsCC_t {
  uint64_t jobId = 0;  // the job that asks
  uint64_t appOrClientId = 0;
  uint64_t cellId = 0;
  uint64_t snapJobId = 0;  // the job whose archive files are listed
  uint64_t reserved[3] = {};
};

struct ArchFileInfo_t {
  uint64_t archFileId = 0;
  uint64_t cycleNumber = 0;  // the backup cycle the archive file belongs to
  uint64_t createTime = 0;   // Unix seconds
  int archFileType = 0;
};

struct GetArchFileInfoForSnapJob_Ret_t {
  uint64_t count = 0;
  uint64_t reserved[5] = {};
  std::string storageHostName;  // the Stowhost of the job's archive files
  std::vector<ArchFileInfo_t> archFiles;
};

// Request: the last archive file of the cycle of a given archive file.
struct GetLastAfileOfCycleArgs_t {
  uint64_t archFileId = 0;
  uint64_t reserved = 0;
  uint64_t cycleNumber = 0;
  int archFileType = 0;
};

struct GetLastAfileOfCycleRet_t {
  uint64_t archFileId = 0;
  uint64_t createTime = 0;
  std::string storageHostName;
};

// Request and reply: one archive file's record.
struct GetAfileInfoArgsCC_t {
  uint64_t archFileId = 0;
  uint64_t reserved = 0;
  uint64_t cellId = 0;
};

struct GetAfileInfoRetCC_t {
  GetAfileInfoRetCC_t() : name(), storageHostName() {}
  uint64_t archFileId = 0;
  uint64_t archGroupId = 0;
  uint64_t cellId = 0;
  uint64_t createTime = 0;
  uint64_t flags = 0;
  int backupLevel = 0;
  std::string name;
  std::string storageHostName;
};

// Request and reply: the snapshot jobs of an application, older than the
// current one, that were never turned into backups.
struct GetUnMaterializedSnapsArgs_t {
  uint64_t appId = 0;
  uint64_t currentSnapJobId = 0;
  uint64_t cellId = 0;
};

struct GetUnMaterializedSnaps_Info {
  uint64_t snapJobId = 0;
  uint64_t cellId = 0;
};

struct GetUnMaterializedSnapsRet_t {
  std::vector<GetUnMaterializedSnaps_Info> snaps;
};

// The identity of one archive file as the index service knows it.
struct ArchiveFileId_t {
  uint32_t cellId = 0;
  uint32_t archiveGroupNumber = 0;
  uint32_t archiveFileNumber = 0;
};

// A call whose records cannot be read fails, never answers as if a record
// were not there: the listing for a snapshot job with the store's errno (its
// LastFailure naming the database file and the cause), every other call
// with 1627.
class ArMgrClientAPI {
 public:
  ArMgrClientAPI() = default;
  // 0 on success (an empty list included), else an error code: 87 for a
  // missing argument or reply, the errno of a store that cannot be read or
  // cannot log the request (LastFailure says which file and why).
  // Failable under the call's name.
  int getArchFileListForSnapshotJob(GetArchFileInfoForSnapJob_ArgsCC_t* args, GetArchFileInfoForSnapJob_Ret_t* ret);
  // The latest-created archive file of the same subclient, cycle and type as
  // the given archive file. 0 on success; 87 for a missing argument or reply,
  // 1168 for an unknown archive file or an empty cycle.
  int getLastAfileOfCycle(GetLastAfileOfCycleArgs_t* args, GetLastAfileOfCycleRet_t* ret);
  // The archive file's record: 0; 87 for a missing argument or reply, 1168
  // for an unknown archive file (of the cell, when one is given).
  int getAfileInfo(GetAfileInfoArgsCC_t* args, GetAfileInfoRetCC_t* ret);
  // The copy precedence of a copy of an archive group: the copy's number
  // when an archive file of the group was written to that copy; 1168
  // otherwise.
  int convertCopyIdToCopyPrecedence(uint32_t archGroupId, uint32_t copyId, uint32_t& copyPrecedence);
  // In ascending job order: the jobs of the application and cell below the
  // current one whose own snapshot record is stored and that no stored
  // clone names as its snapshot job; a clone's job is no snapshot job. 0; 87
  // for a missing argument or reply.
  int getUnMaterializedSnaps(GetUnMaterializedSnapsArgs_t* args, GetUnMaterializedSnapsRet_t* ret);

  // Why this client's last getArchFileListForSnapshotJob failed, when its
  // code cannot say it all: what the service could not do, with the state
  // database's file and the system's cause. No error after a success or a
  // failure its code tells whole (an injected one, a missing argument).
  const CQiError& LastFailure() const { return m_oLastFailure; }

 private:
  CQiError m_oLastFailure;
};

namespace platform {

struct ArchiveFileRecord {
  uint64_t archFileId = 0;
  uint64_t jobId = 0;
  uint64_t appId = 0;
  uint64_t cellId = 0;
  int archFileType = 0;
  uint64_t cycleNumber = 0;
  uint64_t createTime = 0;
  std::string storageHostName;
  uint32_t copyId = 0;   // the storage-policy copy
  uint32_t groupId = 0;  // the archive group
  uint32_t flags = 0;
  int level = 0;  // the backup level of the job that wrote it
};

// One getArchFileListForSnapshotJob request as it was asked, all four fields.
struct ArchiveRequestRecord {
  uint64_t jobId = 0;
  uint64_t appOrClientId = 0;
  uint64_t cellId = 0;
  uint64_t snapJobId = 0;
};

// The largest archive file id the services can record: the snapshot
// library's records hold it as a signed 32-bit number, the index service's
// archive-file identity as an unsigned 32-bit one. A larger id would be
// cut, or make the record that holds it unreadable.
constexpr uint64_t kLargestArchiveFileId = INT32_MAX;

class ArchiveManagerBackend {
 public:
  virtual ~ArchiveManagerBackend() = default;
  // Adds the record, or replaces the one of its id (seeding).
  virtual StateDbResult Put(const ArchiveFileRecord& record) = 0;
  // Adds a record under an id no other holds: a taken id is refused
  // (EEXIST), never replaced.
  virtual StateDbResult Add(const ArchiveFileRecord& record) {
    std::vector<ArchiveFileRecord> stored;
    const StateDbResult read = All(stored);
    if (!read) return read;
    for (const ArchiveFileRecord& other : stored)
      if (other.archFileId == record.archFileId)
        return StateDbResult::Refused(EEXIST, "archive file " + std::to_string(record.archFileId) + " exists");
    return Put(record);
  }
  // Every record, by id; done, or why they could not be read.
  virtual StateDbResult All(std::vector<ArchiveFileRecord>& records) = 0;
  // Logs the request, then lists the snapshot job's archive files in its
  // cell; refused as the store refused either.
  virtual StateDbResult ListForSnapshotJob(const GetArchFileInfoForSnapJob_ArgsCC_t& args,
                                           GetArchFileInfoForSnapJob_Ret_t& ret) = 0;
  // The requests so far, oldest first.
  virtual StateDbResult Requests(std::vector<ArchiveRequestRecord>& requests) = 0;
  // 0; 1168 for an unknown archive file or an empty cycle, 1627 when the
  // records cannot be read.
  virtual int LastOfCycle(const GetLastAfileOfCycleArgs_t& args, GetLastAfileOfCycleRet_t& ret) = 0;
  // The highest archive file id registered up to the limit (0: none), or
  // the store's cause when it cannot be read: a read that failed is never
  // taken for an empty store.
  virtual StateDbResult HighestIdUpTo(uint64_t limit, uint64_t& highest) {
    highest = 0;
    std::vector<ArchiveFileRecord> records;
    const StateDbResult read = All(records);
    for (const ArchiveFileRecord& record : records)
      if (record.archFileId <= limit && record.archFileId > highest) highest = record.archFileId;
    return read;
  }
  // The id of the next archive file made: one above the highest that can be
  // recorded. Refused with ERANGE when none is left, else as the read of
  // the highest was.
  StateDbResult NextId(uint64_t& id) {
    uint64_t highest = 0;
    const StateDbResult read = HighestIdUpTo(kLargestArchiveFileId, highest);
    if (!read) return read;
    if (highest >= kLargestArchiveFileId)
      return StateDbResult::Refused(
          ERANGE, "every archive file id up to " + std::to_string(kLargestArchiveFileId) + " is taken");
    id = highest + 1;
    return StateDbResult();
  }
  // Registers the record under the next id, set in the record, as one step:
  // two processes never take the same id, and a failure on the way ends
  // the step. Refused as NextId or Add refused it.
  virtual StateDbResult PutUnderNextId(ArchiveFileRecord& record) {
    uint64_t id = 0;
    const StateDbResult next = NextId(id);
    if (!next) return next;
    record.archFileId = id;
    return Add(record);
  }
  static ArchiveManagerBackend& Default();
};

using ArchiveManager = Backend<ArchiveManagerBackend>;

}  // namespace platform
