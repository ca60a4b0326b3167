// Each volume's bitmaps before its collect files are written: the change
// bitmap (extents to back up) and the data-only bitmap (extents the file
// system uses), both one bit per extent and owned by the volume's
// VolumeBitmaps.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "devconfig/kz_device_config_handler.h"
#include "platform/fs/qi_directory.h"
#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"
#include "records/file_replacement.h"
#include "scan/collect_file_manager.h"
#include "scan/cumulative_bitmap_helper.h"
#include "tracking/bitmap_words.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

constexpr unsigned kErrorOutOfMemory = 14;
constexpr unsigned kErrorNoHandler = 774;
constexpr int kErrnoNoFileSystemParser = 38;
constexpr int kErrnoNoBitmapFile = 2;

using Bitmaps = TrueUpVolInfo::VolumeBitmaps;

// A new bitmap of the size with every bit set, or null (errno set) when out
// of memory.
unsigned char* AllOnes(uint64_t size) {
  unsigned char* bitmap = Bitmaps::Allocate(size);
  if (bitmap == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  VolumeBitMapHelper::SetBitMapForFULL(bitmap, size);
  return bitmap;
}

// The file system's allocated extents, in a bitmap of the record's size.
// The file system knows only the device's extents: a bitmap size that a
// driver padded past them gets the padding as extents not in use.
CQiError DataBlockBitmap(const std::string& snapshot, const BackupDeviceInfo& device, unsigned char** data) {
  const uint64_t size = device.GetBitMapSize();
  const unsigned long extentBytes = static_cast<unsigned long>(std::min<uint64_t>(size, device.ExtentBitmapBytes()));
  CQiError err =
      VolumeBitMapHelper::GetDataBlockBitMap(snapshot, data, extentBytes, static_cast<int>(device.GetExtentSize()));
  if (err.IsError() || *data == nullptr || extentBytes == size) return err;
  unsigned char* padded = Bitmaps::Allocate(size);
  if (padded != nullptr) std::memcpy(padded, *data, extentBytes);
  std::free(*data);
  *data = padded;
  if (padded == nullptr)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorOutOfMemory, "Failed to allocate %llu bytes of data block bitmap",
                                   static_cast<unsigned long long>(size));
  return err;
}

}  // namespace

CQiError CollectFileManager::FetchBitmapForVolumes(const std::list<ScanObjects_t>& scanObjects) {
  if (scanObjects.empty())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Nothing to scan, scan objects list is empty");
  // A volume listed again would be scanned again: its extents counted twice
  // and its first collect files left out of the list.
  std::set<std::string> volumes;
  for (const ScanObjects_t& scan : scanObjects)
    if (!volumes.insert(scan.sVolume).second)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Volume [%s] is listed more than once in the scan objects",
                                     scan.sVolume.c_str());
  if (!m_pConfigHandler) return FXErrorUtil::ErrorErrNo(FXCODELOC, kErrorNoHandler, "No device config handler object");
  CQiError err = m_pConfigHandler->InitRead();
  if (err.IsError()) return err.Push(FXCODELOC);
  err = InitCompIds(scanObjects);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to init component ids");
  err = GetMountList();
  if (err.IsError()) return err.Push(FXCODELOC);
  for (const ScanObjects_t& scan : scanObjects) {
    err = FetchBitmapForVolume(scan);
    if (err.IsError()) return err.Push(FXCODELOC);
  }
  return err;
}

CQiError CollectFileManager::InitCompIds(const std::list<ScanObjects_t>& scanObjects) {
  for (const ScanObjects_t& scan : scanObjects) {
    BackupDeviceInfo device;
    CQiError err = m_pConfigHandler->GetDeviceConfigForVolume(scan.sVolume, device, "");
    if (err.IsError()) return err.Push(FXCODELOC);
    VolumeBitMapHelper::GetCumulativeBmpVolumeName(scan.sVolume, device.GetSourceDeviceName(), device.GetFSType(),
                                                   m_mComponentIds[device.GetSourceVolName()]);
  }
  return CQiError();
}

CQiError CollectFileManager::FetchBitmapForVolume(const ScanObjects_t& scan) {
  EvDebug log;
  const char* volume = scan.sVolume.c_str();
  if (!m_pConfigHandler) return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorNoHandler, "Config handler object is null");
  BackupDeviceInfo device;
  CQiError err = m_pConfigHandler->GetDeviceConfigForVolume(scan.sVolume, device, "");
  if (err.IsError()) return err.Push(FXCODELOC);
  if (!device.BitmapFitsExtents())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL,
                                   "Device record of volume=%s is damaged: a bitmap of %llu bytes for %llu extents",
                                   volume, static_cast<unsigned long long>(device.GetBitMapSize()),
                                   static_cast<unsigned long long>(device.GetTotalExtents()));

  const std::string& componentId = m_mComponentIds[device.GetSourceVolName()];
  bool full = false;
  if (m_pCumBmpHelper) {
    err = m_pCumBmpHelper->ConvertToFullIfFailedInSFV(device.GetSourceVolName(), componentId, full);
    if (err.IsError()) return err.Push(FXCODELOC);
  }
  switch (JudgeFullBackupMark(scan.sVolume)) {
    case MarkVerdict::kOwed:
      log.DebugLvl(__FUNCTION__, 0, "An earlier scan could not list volume [%s], it is backed up in its entirety",
                   volume);
      full = true;
      break;
    case MarkVerdict::kListingCompleted:
      DropFullBackupMark(scan.sVolume);
      break;
    case MarkVerdict::kNone:
      break;
  }
  TrueUpVolInfo::VolumeBitmapsPtr bitmaps(new Bitmaps);
  m_mVolumeBitmaps[scan.sVolume] = bitmaps;
  const unsigned long size = device.GetBitMapSize();
  const int extentSize = static_cast<int>(device.GetExtentSize());

  // What the file system uses. Without it the volume cannot be narrowed
  // down: every extent counts as used, and unless the file system is simply
  // one the parser does not know, the volume is backed up whole.
  unsigned char* data = nullptr;
  err = DataBlockBitmap(scan.sSnapDevice, device, &data);
  if (err.IsError() || data == nullptr) {
    if (!FXErrorUtil::IsErrNo(err, kErrnoNoFileSystemParser)) {
      log.Error(__FUNCTION__,
                "Failed to get Data Block bitmap for volume=%s although having supported FS, volume will be backed "
                "up in its entirety",
                volume);
      full = true;
    }
  } else {
    err = ValidateDataOnlyBitMapForVolume(scan, data, size, extentSize);
    if (err.IsError()) {
      log.Error(__FUNCTION__,
                "Failed validating data only block Bitmap for volume=%s, volume will be backed up in its entirety, "
                "error=%s",
                volume, err.AsString().c_str());
      full = true;
      std::free(data);
      data = nullptr;
    }
  }
  if (data == nullptr) {
    data = AllOnes(size);
    if (data == nullptr)
      return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorOutOfMemory, "Failed to allocate memory for bitmap, volume=%s",
                                     volume);
  }
  bitmaps->Reset(Bitmaps::kDataOnly, data);

  {
    static std::mutex converterGuard;
    std::lock_guard<std::mutex> guard(converterGuard);
    s_oExtentNameConverter = ExtentNameConverter(device.GetDiskSize(), device.GetExtentSize());
    log.DebugLvl(__FUNCTION__, 1, "ullExtentSize=%llu, ullTotalExtents=%llu", s_oExtentNameConverter.GetExtentSize(),
                 s_oExtentNameConverter.GetTotalExtents());
  }

  // What the change-tracking layer recorded since the last backup.
  unsigned char* disk = nullptr;
  if (!full) {
    unsigned long diskSize = size;
    unsigned char flag = 0;
    err = m_pConfigHandler->GetBitMapInfo(scan.sVolume, disk, diskSize, flag);
    if (err.IsError()) {
      if (!FXErrorUtil::IsErrNo(err, kErrnoNoBitmapFile))
        log.Error(__FUNCTION__, "Failed to fetch disk bit map info, error=%s", err.AsString().c_str());
      std::free(disk);
      disk = nullptr;
    } else if (disk != nullptr && diskSize != size) {
      // Every later step reads the record's size from it.
      log.Error(__FUNCTION__, "Disk bit map of %lu bytes does not fit the %lu bytes of volume [%s], not using it",
                diskSize, size, volume);
      std::free(disk);
      disk = nullptr;
    }
  }

  bool headOnly = false;
  if (m_oJobInfo.GetBackupLevel() != 1 && disk != nullptr && bitmap_words::AllBytesAre(disk, size, 0)) {
    log.DebugLvl(__FUNCTION__, 1, "This is an incremental backup and bitmap read from disk is empty.");
    log.DebugLvl(__FUNCTION__, 1, "Will backup volume head and extent 0 for volume [%s]", volume);
    std::free(disk);
    disk = nullptr;
    unsigned char* head = Bitmaps::Allocate(size);
    if (head == nullptr)
      return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to allocate memory for bitmap, volume=%s", volume);
    SetNthBit(0, head);
    bitmaps->Reset(Bitmaps::kChange, head);
    headOnly = true;
  }
  if (!headOnly && !full) {
    if (disk != nullptr) {
      log.DebugLvl(__FUNCTION__, 1, "Disk bit map info. is available.");
      bitmaps->Reset(Bitmaps::kChange, disk);
    } else {
      log.DebugLvl(__FUNCTION__, 1, "Disk bit map info. not available.");
      if (m_oJobInfo.GetBackupLevel() != 1)
        log.DebugLvl(__FUNCTION__, 0, "Backup of '%s' converting to FULL, due to unavailability of bitmap.", volume);
      full = true;
    }
  }

  if (full) {
    unsigned char* all = AllOnes(size);
    if (all == nullptr)
      return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to allocate memory for bitmap, volume=%s", volume);
    bitmaps->Reset(Bitmaps::kChange, all);
  } else if (m_pCumBmpHelper) {
    err = m_pCumBmpHelper->MergeMissingExtsFromSFV(scan.sVolume, componentId, size, bitmaps);
    if (err.IsError()) return err.Push(FXCODELOC);
    if (CCumulativeBitmapHelper::AreAllBitsSet(size, (*bitmaps)[Bitmaps::kChange])) {
      log.DebugLvl(__FUNCTION__, 1, "AllBitsSet for Volume[%s]. Skipping Cumulative Bitmap comparison", volume);
    } else {
      err = m_pCumBmpHelper->MakeSureChangesInDataOnlyBlockBitmapAreReflectedInDiskBitmap(scan.sVolume, componentId,
                                                                                          size, bitmaps);
      if (err.IsError()) return err.Push(FXCODELOC);
    }
  }

  // Bits past the last extent stand for nothing on the device.
  bitmap_words::ClearFrom((*bitmaps)[Bitmaps::kDataOnly], size, device.GetTotalExtents());
  log.DebugLvl(__FUNCTION__, 1, "Volume=%s BlockFilter dirty bits=%llu", volume,
               static_cast<unsigned long long>(bitmap_words::CountSet((*bitmaps)[Bitmaps::kChange], size)));
  return CQiError();
}

CQiError CollectFileManager::HandleDataOnlyBitMap(const ScanObjects_t& scan, unsigned char* changeBitmap,
                                                  const unsigned long& bitmapSize, int extentSize) {
  std::string disabled;
  if (KZPlatformInfo::getString("FileSystemAgent", "sDisableDataOnlyBlock", disabled) != 0 && disabled == "true") {
    EvDebug log;
    log.DebugLvl(__FUNCTION__, 1, "User has set the disabld dtaonly block registry[sDisableDataOnlyBlock]");
    return CQiError();
  }
  CQiError err = VolumeBitMapHelper::MergeDataBlockBitMap(
      scan.sSnapDevice, changeBitmap, VolumeBitmap(scan.sVolume, Bitmaps::kDataOnly), bitmapSize, extentSize);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CollectFileManager::GenerateCumulativeBitmap(unsigned char* bitmap, unsigned long long bitmapSize,
                                                      const std::string& volume, const std::string& sourceDevice,
                                                      const std::string& fsType) {
  const std::string folder = FXPath::Append(m_oJobInfo.GetJobResultsDir(), CCumulativeBitmapHelper::kCumulativeFolder);
  if (!FXPath::DoesPathExist(folder)) {
    CQiError err = CQiDirectory::Create(folder.c_str(), false);
    if (err.IsError()) return err.Push(FXCODELOC);
  }
  std::string file;
  VolumeBitMapHelper::GenerateCumulativeBitmapFileName(volume, folder, file, sourceDevice, fsType, true);
  // The backup stores it and a pseudo-snap carries it forward: a power loss
  // inside the scan must leave the earlier bitmap or this one, never an
  // empty or torn file. The folder is synced once, for every volume.
  CQiError err = VolumeBitMapHelper::ReplaceBitMapFile(file, bitmap, bitmapSize, records::FolderSync::kByCaller);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to save cummilative bitmap, BmpFile=%s", file.c_str());
  m_sCumulativeFolderToSync = folder;
  return err;
}

CQiError CollectFileManager::SyncCumulativeFolder() {
  if (m_sCumulativeFolderToSync.empty()) return CQiError();
  CQiError err = records::SyncFolder(m_sCumulativeFolderToSync);
  if (err.IsError())
    return err.Push(FXCODELOC, "Failed to save cummilative bitmaps in %s", m_sCumulativeFolderToSync.c_str());
  m_sCumulativeFolderToSync.clear();
  return err;
}

bool CollectFileManager::IsNthBitSet(unsigned long long n, const unsigned char* bitmap) {
  return (bitmap[n >> 3] & (1u << (n & 7))) != 0;
}

void CollectFileManager::SetNthBit(unsigned long long n, unsigned char* bitmap) {
  bitmap[n >> 3] = static_cast<unsigned char>(bitmap[n >> 3] | (1u << (n & 7)));
}

void CollectFileManager::UnsetNthBit(unsigned long long n, unsigned char* bitmap) {
  bitmap[n >> 3] = static_cast<unsigned char>(bitmap[n >> 3] & ~(1u << (n & 7)));
}
