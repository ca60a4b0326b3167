#include "tracking/volume_bitmap_helper_kzbf.h"

#include <cstdint>
#include <cstdlib>
#include <list>
#include <mutex>

#include "platform/config/kz_client.h"
#include "platform/log/ev_debug.h"
#include "platform/process/kz_process.h"
#include "platform/process/shell_quote.h"
#include "platform/services/subclient.h"
#include "platform/snapshot/sm_vol_block.h"
#include "records/device_queries.h"
#include "tracking/attached_volume_list.h"
#include "tracking/block_level_bitmap_handler.h"
#include "tracking/configured_extent_size.h"
#include "tracking/driver_cache_folder.h"

namespace {

// The driver probe's outcome for the process: 0 not yet known, 1 present,
// -1 the load attempt failed. The mutex makes concurrent first callers wait
// for the one attempt instead of running the load command twice, where a
// second run's failure could mark a loaded driver missing.
std::mutex g_probeMutex;
int iDriverPresent = 0;
bool bOnce = false;

// Runs the agent's driver-load command; true when it succeeded.
bool LoadDriver() {
  EvDebug log;
  std::optional<std::string> home = KZPI_Base::getHomeDirectory();
  if (!home) {
    log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Driver[kzbf] load failed.ouput[%s] error[%s]", "",
                 "the agent's home directory is not configured");
    return false;
  }
  std::string output, error;
  const std::string command = platform::ShellQuote(*home + "/unix_drv.sh") + " -a kzbf";
  if (KzProcess::system(command, &output, &error, 0, false) != 0) {
    log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Driver[kzbf] load failed.ouput[%s] error[%s]", output.c_str(),
                 error.c_str());
    return false;
  }
  log.DebugLvl(__FUNCTION__, 1, " -BlockLevel- Driver[kzbf] load succeeded");
  return true;
}

// The handler's device id: the bitmap file's name without ".bmp"; empty
// when the path has no folder.
std::string DeviceIdOf(const std::string& bitmapFile) {
  const std::string::size_type slash = bitmapFile.rfind('/');
  if (slash == std::string::npos) return std::string();
  const std::string name = bitmapFile.substr(slash + 1);
  return name.size() < 4 ? std::string() : name.substr(0, name.size() - 4);
}

CQiError InitializeHandler(CBlockLevelBitmapHandler& handler) {
  std::string folder;
  KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(folder);
  CQiError err = handler.Initialize(folder);
  if (err.IsError())
    return err.Push(FXCODELOC, "failed to initialize CBlockLevelBitmapHandler, error=%s", err.AsString().c_str());
  return err;
}

// The client id of this machine's own client.
CQiError LocalClientId(long long& clientId) {
  const std::string name = KZPI_Focus::getFocusClientName(true);
  uint64_t id = 0;
  KZClient(name.c_str(), false, 0).getClientId(id);
  if (id == 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "Unable to get clientId for local client %s", name.c_str());
  clientId = static_cast<long long>(id);
  return CQiError();
}

// The client id of the client the volume's application belongs to.
CQiError ApplicationClientId(const SMVolBlock& volume, long long& clientId) {
  ApplicationId application(volume.nVornCellId, volume.nAppId);
  KZClient* client = application.getClient(nullptr);
  if (client == nullptr)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "failed to get clientInfo [getClient] for AppId[%lld]",
                                   static_cast<long long>(volume.nAppId));
  uint64_t id = 0;
  client->getClientId(id);
  clientId = static_cast<long long>(id);
  return CQiError();
}

}  // namespace

boost::shared_ptr<VolumeBitMapHelper_KZBF> VolumeBitMapHelper_KZBF::GetVolumeHandler() {
  static boost::shared_ptr<VolumeBitMapHelper_KZBF> instance(new VolumeBitMapHelper_KZBF());
  return instance;
}

bool VolumeBitMapHelper_KZBF::IsKZBFDriverAvailable() {
  std::lock_guard<std::mutex> guard(g_probeMutex);
  if (iDriverPresent == 0) {
    KzBfDriver driver;
    CQiError opened = driver.open();
    if (!opened.IsError()) {
      iDriverPresent = 1;
    } else if (!bOnce) {
      EvDebug log;
      log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- %s", opened.AsString().c_str());
      log.DebugLvl(__FUNCTION__, 1, " -BlockLevel- KZBF driver is not loaded.Trying to load it.");
      iDriverPresent = LoadDriver() ? 1 : -1;
      bOnce = true;
    }
  }
  return iDriverPresent == 1;
}

CQiError VolumeBitMapHelper_KZBF::GetUnderlyingDevice(const std::string& device, std::string& realDevice) {
  realDevice = device;
  return CQiError();
}

CQiError VolumeBitMapHelper_KZBF::GetVolumeInfo(const std::string& device, VolumeInfo& info) {
  bool attached = false;
  int64_t driverSize = 0;
  int driverExtentSize = 0, extentCount = 0;
  std::list<std::string> snapshots;
  CQiError err = m_oKzBf.queryDevice(device, &attached, &driverSize, &driverExtentSize, &extentCount, &snapshots);
  if (err.IsError()) return err.Push(FXCODELOC);
  uint64_t size = 0;
  if (!GetDeviceSize_Internal(device, nullptr, &size) || size == 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "GetDeviceSize failed to fetch device size for device[%s]",
                                   device.c_str());
  // A driver that reports no usable extent size for a tracked device is
  // treated as having none: the configured size applies.
  const uint64_t extentSize =
      attached && driverExtentSize > 0 ? static_cast<uint64_t>(driverExtentSize) : tracking::ConfiguredExtentSize();
  info.ExtentSize = extentSize;
  info.TotalBlocks = size / 512;
  info.BitMapSize = tracking::BitmapBytes(size, extentSize);
  return err;
}

CQiError VolumeBitMapHelper_KZBF::AttachDevice(const std::string& /*mountPath*/, const std::string& device,
                                               const int& extentSize) {
  return m_oKzBf.attachDevice(device, extentSize);
}

CQiError VolumeBitMapHelper_KZBF::DetachDevice(const std::string& device) {
  return m_oKzBf.detachDevice(device);
}

CQiError VolumeBitMapHelper_KZBF::FullBitMapFormalities(SMVolBlock& volume, const std::string& bitmapFile,
                                                        const unsigned long& bitmapSize, const int& extentSize,
                                                        bool preSnap) {
  CBlockLevelBitmapHandler handler;
  CQiError err = InitializeHandler(handler);
  if (err.IsError()) return err;
  if (!preSnap) {
    err = RecordForFailOver(volume, bitmapSize, extentSize);
    if (!err.IsError()) err = CompleteFailOverMerge(bitmapFile);
    return err;
  }

  long long clientId = 0;
  err = LocalClientId(clientId);
  if (err.IsError()) return err;
  // Clearing the driver now leaves the next incremental only later writes.
  volume.bForceFull = true;
  EvDebug log;
  err = handler.GetAndClearBitmap(clientId, bitmapSize, volume, DeviceIdOf(bitmapFile), bitmapFile);
  if (err.IsError()) {
    log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Failed to GetAndclear bitmap for device=[%s], error=%s",
                 volume.sDevice.c_str(), err.AsString().c_str());
    return err;
  }
  log.DebugLvl(__FUNCTION__, 3, " -BlockLevel- FULL backup GetAndclear bitmap from driver for device=[%s]",
               volume.sDevice.c_str());
  return err;
}

CQiError VolumeBitMapHelper_KZBF::IncrBitMapFormalities(SMVolBlock& volume, const std::string& bitmapFile,
                                                        const unsigned long& bitmapSize, const int& extentSize,
                                                        bool preSnap) {
  CBlockLevelBitmapHandler handler;
  CQiError err = InitializeHandler(handler);
  if (err.IsError()) return err;
  long long clientId = 0;
  err = ApplicationClientId(volume, clientId);
  if (err.IsError()) return err;
  volume.bForceFull = false;

  EvDebug log;
  const std::string deviceId = DeviceIdOf(bitmapFile);
  err = preSnap ? handler.GetAndClearBitmap(clientId, bitmapSize, volume, deviceId, bitmapFile)
                : handler.GetBitmap(clientId, bitmapSize, volume, deviceId, bitmapFile);
  if (err.IsError()) {
    log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Failed to get(AndClear) bitmap from driver for device=[%s], error=%s",
                 volume.sDevice.c_str(), err.AsString().c_str());
    return err;
  }
  if (volume.bForceFull) {
    log.DebugLvl(__FUNCTION__, 0, " -BlockLevel- This Incremental backup is now being forced as FULL backup");
  } else {
    // A full backup reads no bitmap: the job's file is then possibly one
    // that could not be trusted, and is not read here either.
    unsigned char* bitmap = nullptr;
    err = ReadBitMapFromFile(bitmapFile, &bitmap, bitmapSize);
    if (err.IsError()) {
      std::free(bitmap);
      return err.Push(FXCODELOC, "failed to read bitmap from file[%s] for device[%s], error=%s", bitmapFile.c_str(),
                      volume.sDevice.c_str(), err.AsString().c_str());
    }
    if (IsInspectRequested()) {
      log.DebugLvl(__FUNCTION__, 0, " -BlockLevel- Print final INCR bitmap start");
      InspectBitMap(bitmap, bitmapSize);
      log.DebugLvl(__FUNCTION__, 0, " -BlockLevel- Print final INCR bitmap end");
    }
    std::free(bitmap);
  }
  if (!preSnap) {
    err = RecordForFailOver(volume, bitmapSize, extentSize);
    if (!err.IsError()) err = CompleteFailOverMerge(bitmapFile);
  }
  return err;
}

CQiError VolumeBitMapHelper_KZBF::RecordForFailOver(const SMVolBlock& volume, const unsigned long& bitmapSize,
                                                    const int& extentSize) {
  EvDebug log;
  try {
    const VolumeClusterConfig record(volume.sVolume, extentSize, static_cast<int>(bitmapSize));
    CAttachedVolumeList list(true);
    if (list.IsVolumeAlreadyAddedInList(record)) return CQiError();
    log.DebugLvl(__FUNCTION__, 0, " -BlockLevel- Adding Volume [%s] to Attached Volume list", volume.sVolume.c_str());
    CQiError err = list.AddVolumeToAttachedList(record);
    // Unlisted, the volume's bitmap would not be left behind at a fail-over.
    if (!err.IsError()) err = list.SaveList();
    if (err.IsError()) return err.Push(FXCODELOC);
    return err;
  } catch (const KzException& exception) {
    log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- %s", exception.getMessage());
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "%s", exception.getMessage());
  }
}
