// The agent's entry points for a removed subclient: each device of its last
// device-configuration file is released in the way its strategy needs now.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <list>

#include "blocklevel/blocklevel.h"
#include "library/entry_guard.h"
#include "platform/config/kz_client.h"
#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"
#include "records/block_device_config.h"
#include "tracking/block_level_bitmap_handler.h"
#include "tracking/driver_cache_folder.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

// The subclient's id as a number: one or more decimal digits that fit, else
// nothing. The id becomes part of a path, so nothing else may pass.
bool ReadSubclientId(const std::string& text, long long& id) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  id = std::strtoll(text.c_str(), nullptr, 10);
  return errno == 0;
}

CQiError Detach(const std::string& configFile, long long AppId) {
  EvDebug log;
  BlockDeviceConfigReaderWriter_UNIX reader;
  CQiError err = reader.InitRead(configFile);
  if (FXErrorUtil::IsErrNo(err, 2)) return CQiError();
  if (err.IsError()) return err;
  std::string driverCacheFolder;
  KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(driverCacheFolder);
  // The subclient's registrations and driverless records are in that folder:
  // a detach that cannot look there releases nothing and says so.
  if (driverCacheFolder.empty())
    return FXErrorUtil::ErrorErrNo(
        FXCODELOC, EIO, "The driver cache folder is not known, no device of [%s] is detached", configFile.c_str());

  std::list<std::string> kzbfDevices;
  for (;;) {
    BackupDeviceInfo record;
    err = reader.ReadNextBackupConfig(record);
    if (err.IsError()) return err.Push(FXCODELOC);
    if (!record.IsValid()) break;
    const std::string device = record.GetSourceDeviceName();
    VolumeBitMapHelper::eDeviceType_t type = VolumeBitMapHelper::eDeviceType_NONE;
    boost::shared_ptr<VolumeBitMapHelper> strategy = VolumeBitMapHelper::GetVolumeHandlerInstance(device, type);
    switch (type) {
      case VolumeBitMapHelper::eDeviceType_BLOCKLEVEL_DRIVERLESS:
        strategy->DetachDevice(device);
        break;
      case VolumeBitMapHelper::eDeviceType_CXBF:
        log.DebugLvl(__FUNCTION__, 0, "Leaving CXBF device [%s] attached", device.c_str());
        break;
      case VolumeBitMapHelper::eDeviceType_KZBF:
        kzbfDevices.push_back(device);
        break;
      case VolumeBitMapHelper::eDeviceType_NONE:
        break;
    }
  }
  reader.Close();
  if (kzbfDevices.empty()) return CQiError();

  CBlockLevelBitmapHandler handler;
  err = handler.Initialize(driverCacheFolder);
  if (!err.IsError()) err = handler.CleanupSubclientBitmaps(AppId, kzbfDevices);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError DetachForSubclient(const std::string& subclientId) {
  long long AppId = 0;
  if (!ReadSubclientId(subclientId, AppId))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Invalid subclient id [%s]", subclientId.c_str());
  std::list<std::string> clients;
  KZPlatformInfo::getActiveClientList(clients);
  for (const std::string& client : clients) {
    std::optional<std::string> jobResults = KZPI_VornClient::getJobResultsDirectory(client);
    if (!jobResults) continue;
    const std::string candidate =
        *jobResults + "/2/" + subclientId + "/" + BlockDeviceConfigReaderWriter::kMainFileName;
    if (::access(candidate.c_str(), F_OK) != 0) continue;
    EvDebug log;
    log.DebugLvl(__FUNCTION__, 0, "Using Config File [%s]", candidate.c_str());
    return Detach(candidate, AppId);
  }
  return FXErrorUtil::ErrorErrNo(FXCODELOC, 2, "Job Results directory could not be found for SC=[%s]",
                                 subclientId.c_str());
}

}  // namespace

extern "C" CQiError DetachBlockLevelVolumes(const std::string& configFile, long long AppId) {
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&] { return Detach(configFile, AppId); });
}

extern "C" CQiError DetachBlockLevelVolumesForSC(const std::string& subclientId) {
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&] { return DetachForSubclient(subclientId); });
}
