#pragma once
// The agent's snap utility: registering the archive
// files of a job that a snapshot becomes a backup of.
//
// createSnapArchiveFiles registers, in the archive manager, one archive
// file per mount point in the order they were added (the archive's job and
// level, the application's cell and id, type 1, created now, the
// subclient's archive group; copy id: the one the harness settled for the
// job and the arguments' first field, else the arguments', or the
// subclient's when that is 0; ids ascending from the highest registered),
// appends a volume (path, archive file) to the record for each and sets
// the archive's copy id. It answers 1627 once no id is left up to the
// largest the services record (kLargestArchiveFileId), and when the
// subclient, the settled copy id or the archive files cannot be read. Each call is logged with its arguments in the
// snapshot service's log ("createSnapArchiveFiles", `blbsim snap calls`).
//
// Faults: "UxaSnapUtil::addMountPoint" (false),
// "UxaSnapUtil::createSnapArchiveFiles" (the fault's code).
#include <cstdint>
#include <string>
#include <vector>

#include "platform/archive/kz_archive.h"
#include "platform/jobs/backup_level.h"
#include "platform/snapshot/sm_vol_snap_info.h"

class ApplicationId;
class KZJobCtrlClient;

// How the utility starts its helper processes.
enum SnapSpawnMode { SpawnThread = 1, SpawnProcess = 2 };

// The arguments of createSnapArchiveFiles, in the agent's order.
struct CreateArgs_t {
  uint32_t first = 0;  // the agent passes 1
  uint32_t appId = 0;
  uint32_t appType = 0;
  uint32_t clientId = 0;
  uint32_t copyId = 0;
  uint32_t backupLevel = 0;
};

class UxaSnapUtil {
 public:
  UxaSnapUtil(int engineId, KZBkpLevel level, ApplicationId* application, int kind, bool debug,
              KZJobCtrlClient* jobControl, const char* text, SnapSpawnMode spawnMode);

  // False for an empty mount point.
  bool addMountPoint(const std::string& mountPoint, const std::string& name);
  // 0, or the failure's code (1168: an unknown subclient).
  int createSnapArchiveFiles(KZArchive& archive, CreateArgs_t& args, SMVolSnapInfo& record, void* fileSets);

 private:
  ApplicationId* m_pApplication;
  std::vector<std::string> m_vMountPoints;
};

// The snap utility of database jobs: told the client and cell the archive
// files are made for; the mount point named first.
class UxaSnapUtilBase : public UxaSnapUtil {
 public:
  using UxaSnapUtil::UxaSnapUtil;
  // Each logged in the snapshot service's log ("setClientId", "setVornCellId").
  void setClientId(int clientId);
  void setVornCellId(int cellId);
  int ClientId() const { return m_nClientId; }
  int VornCellId() const { return m_nVornCellId; }

 private:
  int m_nClientId = 0;
  int m_nVornCellId = 0;
};

class UxaSnapUtilDb : public UxaSnapUtilBase {
 public:
  using UxaSnapUtilBase::UxaSnapUtilBase;
  // The pseudo volume's path is the mount point; the name is the volume the
  // database knows it by.
  bool addMountPoint(const std::string& name, const std::string& mountPoint) {
    return UxaSnapUtil::addMountPoint(mountPoint, name);
  }
};
