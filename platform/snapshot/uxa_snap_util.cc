#include "platform/snapshot/uxa_snap_util.h"

#include <ctime>
#include <optional>

#include "platform/config/agent_config.h"
#include "platform/services/archive_manager.h"
#include "platform/services/subclient.h"
#include "platform/sim/fault_table.h"
#include "platform/snapshot/snap_client_api.h"

UxaSnapUtil::UxaSnapUtil(int, KZBkpLevel, ApplicationId* application, int, bool, KZJobCtrlClient*, const char*,
                         SnapSpawnMode)
    : m_pApplication(application) {}

bool UxaSnapUtil::addMountPoint(const std::string& mountPoint, const std::string&) {
  int code = 0;
  if (platform::InjectedFaultCode("UxaSnapUtil::addMountPoint", code) || mountPoint.empty()) return false;
  m_vMountPoints.push_back(mountPoint);
  return true;
}

int UxaSnapUtil::createSnapArchiveFiles(KZArchive& archive, CreateArgs_t& args, SMVolSnapInfo& record, void*) {
  std::string request = std::to_string(args.first) + ", " + std::to_string(args.appId) + ", " +
                        std::to_string(args.appType) + ", " + std::to_string(args.clientId) + ", " +
                        std::to_string(args.copyId) + ", " + std::to_string(args.backupLevel);
  for (const std::string& mountPoint : m_vMountPoints) request += ", " + mountPoint;
  platform::SnapServiceCall call{"createSnapArchiveFiles", request, 0};
  int code = 0;
  std::optional<platform::SubclientRecord> subclient;
  std::optional<uint32_t> settled;
  if (platform::InjectedFaultCode("UxaSnapUtil::createSnapArchiveFiles", code))
    call.result = code != 0 ? code : -1;
  else if (m_pApplication != nullptr &&
           (!platform::AgentConfig::Current().FindSubclient(m_pApplication->CellId(), m_pApplication->AppId(),
                                                            subclient) ||
            !platform::SnapshotLibrary::Current().FindCopyId(archive.JobId(), args.first, settled)))
    call.result = platform::kServiceFailed;
  else if (m_pApplication == nullptr || !subclient)
    call.result = 1168;
  if (call.result == 0) {
    platform::ArchiveManagerBackend& archives = platform::ArchiveManager::Current();
    const uint32_t copyId = settled ? *settled : args.copyId != 0 ? args.copyId : subclient->copyId;
    int volumeId = 0;
    for (const SMVolumeInfo& volume : record.getVolumeList())
      volumeId = volume.getSMVolumeId() > volumeId ? volume.getSMVolumeId() : volumeId;
    for (const std::string& mountPoint : m_vMountPoints) {
      platform::ArchiveFileRecord file;
      file.jobId = archive.JobId();
      file.appId = subclient->appId;
      file.cellId = subclient->cellId;
      file.archFileType = 1;
      file.createTime = static_cast<uint64_t>(std::time(nullptr));
      file.copyId = copyId;
      file.groupId = subclient->groupId;
      file.level = static_cast<int>(archive.Level());
      if (!archives.PutUnderNextId(file)) {
        call.result = platform::kServiceFailed;
        break;
      }
      record.getVolumeList().emplace_back(++volumeId, mountPoint, "", 0, static_cast<int>(file.archFileId));
    }
    if (call.result == 0) archive.SetCopyId(copyId);
  }
  platform::SnapshotLibrary::Current().LogCall(call);
  return call.result;
}

void UxaSnapUtilBase::setClientId(int clientId) {
  m_nClientId = clientId;
  platform::SnapshotLibrary::Current().LogCall({"setClientId", std::to_string(clientId), 0});
}

void UxaSnapUtilBase::setVornCellId(int cellId) {
  m_nVornCellId = cellId;
  platform::SnapshotLibrary::Current().LogCall({"setVornCellId", std::to_string(cellId), 0});
}
