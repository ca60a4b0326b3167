#include "tracking/volume_bitmap_helper_driverless.h"

#include <cerrno>
#include <list>
#include <new>

#include "platform/fs/fx_file.h"
#include "platform/guid/guid_factory.h"
#include "platform/log/ev_debug.h"
#include "platform/memory/auto_handle.h"
#include "platform/mnttab/kz_mnt_tab.h"
#include "platform/snapshot/sm_vol_block.h"
#include "platform/text/fx_string.h"
#include "records/block_device_config.h"
#include "records/device_queries.h"
#include "tracking/cbf_driver_interface.h"
#include "tracking/configured_extent_size.h"
#include "tracking/driver_cache_folder.h"
#include "tracking/snapshot_mounts.h"

namespace {

CQiError MakeFolder(const std::string& folder) {
  if (FXPath::DoesPathExist(folder)) return CQiError();
  CQiError err = FXFile::CreateFoldersIteratively(folder.c_str());
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

}  // namespace

boost::shared_ptr<VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS>
VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS::GetVolumeHandler() {
  static boost::shared_ptr<VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS> instance(
      new VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS());
  return instance;
}

CQiError VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS::GetDriverLessConfigFilePath(const std::string& device,
                                                                               std::string& path) {
  KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(path);
  // Another folder would hold another record of the device.
  if (path.empty())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EIO, "The driver cache folder is not known, no record of device[%s]",
                                   device.c_str());
  path = FXPath::Append(path, "DriverLess");
  CQiError err = MakeFolder(path);
  if (err.IsError()) return err.Push(FXCODELOC);
  path = FXPath::Append(path, CGuidFactory::get_guid_nosalt(device));
  err = MakeFolder(path);
  if (err.IsError()) return err.Push(FXCODELOC);
  path = FXPath::Append(path, BlockDeviceConfigReaderWriter::kMainFileName);
  return err;
}

CQiError VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS::GetDeviceInfo(const std::string& device, uint64_t& extentSize,
                                                                 uint64_t& totalBlocks, uint64_t& bitmapSize) {
  uint64_t size = 0;
  if (!GetDeviceSize_Internal(device, nullptr, &size) || size == 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "GetDeviceSize failed to fetch device size for device[%s]",
                                   device.c_str());
  if (extentSize == 0) extentSize = tracking::ConfiguredExtentSize();
  totalBlocks = size / 512;
  bitmapSize = tracking::BitmapBytes(size, extentSize);
  return CQiError();
}

CQiError VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS::GetUnderlyingDevice(const std::string& device,
                                                                       std::string& realDevice) {
  realDevice = device;
  return CQiError();
}

CQiError VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS::AttachDevice(const std::string& mountPath, const std::string& device,
                                                                const int& /*extentSize*/) {
  // Without its folders the record cannot be written: the attach fails here
  // rather than at a write to a path that names a folder.
  std::string path;
  CQiError err = GetDriverLessConfigFilePath(device, path);
  if (err.IsError()) return err.Push(FXCODELOC);
  FXFile::RemoveFile(path.c_str());
  uint64_t extentSize = 0, totalBlocks = 0, bitmapSize = 0;
  err = GetDeviceInfo(device, extentSize, totalBlocks, bitmapSize);
  if (err.IsError()) return err.Push(FXCODELOC);
  const BackupDeviceInfo record(true, mountPath, device, "", "", extentSize, totalBlocks, 0, bitmapSize);
  // Written beside and renamed into place: a reader never sees half a record.
  const std::string temporary = path + ".tmp";
  BlockDeviceConfigReaderWriter writer;
  err = writer.InitWrite(temporary, false, false);
  if (!err.IsError()) err = writer.WriteNextBackupDevice(record);
  if (!err.IsError()) err = writer.Close();
  if (!err.IsError() && rename_utf(temporary.c_str(), path.c_str()) != 0)
    err = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to rename [%s] to [%s]", temporary.c_str(), path.c_str());
  if (err.IsError()) {
    unlink_utf(temporary.c_str());
    return err.Push(FXCODELOC);
  }
  return err;
}

CQiError VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS::GetVolumeInfo(const std::string& device, VolumeInfo& info) {
  std::string path;
  // Without the folder the record is not looked for elsewhere; a folder that
  // cannot be made holds none.
  CQiError err = GetDriverLessConfigFilePath(device, path);
  if (path.empty()) return err.Push(FXCODELOC);
  uint64_t extentSize = 0;
  if (FXPath::DoesPathExist(path)) {
    BlockDeviceConfigReaderWriter reader;
    if (reader.InitRead(path).IsError())
      return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "Failed to initialize config file[%s] for device[%s]",
                                     path.c_str(), device.c_str());
    BackupDeviceInfo record;
    if (reader.ReadNextBackupDevice(record).IsError()) {
      reader.Close();
      return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "Failed to read from config file[%s] for device[%s]",
                                     path.c_str(), device.c_str());
    }
    reader.Close();
    if (!record.IsValid())
      return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "Invalid backup device read from config file[%s] for device[%s]",
                                     path.c_str(), device.c_str());
    extentSize = record.GetExtentSize();
  }
  uint64_t totalBlocks = 0, bitmapSize = 0;
  err = GetDeviceInfo(device, extentSize, totalBlocks, bitmapSize);
  if (err.IsError()) return err.Push(FXCODELOC);
  info.ExtentSize = extentSize;
  info.TotalBlocks = totalBlocks;
  info.BitMapSize = bitmapSize;
  return err;
}

CQiError VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS::FullBitMapFormalities(SMVolBlock& volume,
                                                                         const std::string& bitmapFile,
                                                                         const unsigned long& bitmapSize,
                                                                         const int& extentSize, bool /*preSnap*/) {
  CQiError err = AttachDevice(volume.sVolume, volume.sDevice, extentSize);
  if (err.IsError()) return err.Push(FXCODELOC);
  EvDebug log;
  auto_ptr_array<unsigned char> bitmap(new (std::nothrow) unsigned char[bitmapSize > 0 ? bitmapSize : 1]);
  err = bitmap.get() != nullptr ? SetBitMapForFULL(bitmap.get(), bitmapSize)
                                : FXErrorUtil::ErrorWin32(FXCODELOC, 14, "Failed to allocate %lu bytes", bitmapSize);
  if (err.IsError()) {
    log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Failed to SetBitMapForFULL, device=[%s], error=%s",
                 volume.sDevice.c_str(), err.AsString().c_str());
    return err;
  }
  err = WriteBitMapToFile(bitmapFile, bitmap.get(), bitmapSize);
  if (err.IsError()) {
    log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Failed to WriteBitMapToFile, device=[%s], File=[%s] error=%s",
                 volume.sDevice.c_str(), bitmapFile.c_str(), err.AsString().c_str());
    return err;
  }
  return err;
}

CQiError VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS::IncrBitMapFormalities(SMVolBlock& volume,
                                                                         const std::string& bitmapFile,
                                                                         const unsigned long& bitmapSize,
                                                                         const int& extentSize, bool preSnap) {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- IncrBitMapFormalities called for DriverLess");
  volume.bForceFull = true;
  return FullBitMapFormalities(volume, bitmapFile, bitmapSize, extentSize, preSnap);
}

CQiError VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS::DetachDevice(const std::string& device) {
  std::string path;
  CQiError err = GetDriverLessConfigFilePath(device, path);
  if (path.empty()) return err.Push(FXCODELOC);
  if (!FXPath::DoesPathExist(path)) return CQiError();
  err = FXFile::RemoveFile(path.c_str());
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS::DeleteSnapAndDetachDevice(const std::string& device, bool detach) {
  std::list<KzMntTab::Entry> mounts;
  CQiError err = KzMntTab::getAll(mounts);
  if (err.IsError()) {
    EvDebug log;
    log.Error(__FUNCTION__, "failed to get KzMntTab list, error=%s", err.AsString().c_str());
    return err.Push(FXCODELOC);
  }
  CBFDriverInterface driver(device);
  std::list<std::string> snapshots;
  err = driver.queryLVMSnaps(&snapshots);
  if (err.IsError()) return err.Push(FXCODELOC);
  for (const std::string& snapshot : snapshots) tracking::UnmountSnapshot(mounts, snapshot);
  if (!snapshots.empty()) driver.destroyLVMSnaps(&snapshots);
  if (!detach) return CQiError();
  err = DetachDevice(device);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}
