#pragma once
// The agent's snap utility: registering the archive
// files of a job that a snapshot becomes a backup of.
//
// createSnapArchiveFiles registers, in the archive manager, one archive
// file per mount point in the order they were added (the archive's job and
// level, the application's cell and id, type 1, created now, the
// subclient's archive group; copy id: the arguments', or the subclient's
// when that is 0; ids ascending from the highest registered), appends a
// volume (path, archive file) to the record for each and sets the
// archive's copy id. Each call is logged with its arguments in the snapshot
// service's log ("createSnapArchiveFiles", `blbsim snap calls`).
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
