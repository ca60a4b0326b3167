// The restore side's exports: one source mount's bitmap built from every
// bitmap file of a directory, the disk sizes a configuration file records,
// and the release of handed-out bitmaps.
#include <climits>
#include <cstdlib>
#include <list>
#include <memory>

#include "blocklevel/blocklevel.h"
#include "library/entry_guard.h"
#include "platform/fs/qi_directory.h"
#include "platform/log/ev_debug.h"
#include "records/block_device_config.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

using Bitmap = std::unique_ptr<unsigned char, decltype(&std::free)>;

constexpr const char kExtentViewPrefix[] = "/{20d03aa2-7726-42d8-8381-fdda7a8a1c47}/EXTENTVIEW";
constexpr const char kRootPlaceholder[] = "/KzFakeStringForVolumeRootBlockLevel";
// The restore's own line for an exception that ends an export.
constexpr const char kUnhandledException[] = "eRRoR -- Unhandled exception caught";

// The volume a restore names: the extent view's prefix dropped from a path
// under it, the root volume's placeholder read as "/".
std::string SourceVolume(const std::string& sourceMount) {
  const std::string prefix = kExtentViewPrefix;
  std::string mount = sourceMount;
  if (mount.size() > prefix.size() && mount.compare(0, prefix.size(), prefix) == 0) mount.erase(0, prefix.size());
  if (mount == kRootPlaceholder) mount = "/";
  return mount;
}

template <class Reader>
bool OpenConfig(Reader& reader, const std::string& configFile) {
  CQiError err = reader.InitRead(configFile);
  if (!err.IsError()) return true;
  EvDebug log;
  log.Error(__FUNCTION__, "eRRoR -- BlockDeviceConfigReaderWriter InitRead failed ConfigFile[%s] Error[%s]",
            configFile.c_str(), err.AsString().c_str());
  return false;
}

// The next record of the main file (not valid at its end); false, logged,
// when the read fails.
bool ReadNext(BlockDeviceConfigReaderWriter& reader, BackupDeviceInfo& device) {
  device = BackupDeviceInfo();
  CQiError err = reader.ReadNextBackupDevice(device);
  if (!err.IsError()) return true;
  EvDebug log;
  log.Error(__FUNCTION__, "eRRoR -- ReadNextBackupDevice failed Error[%s]", err.AsString().c_str());
  return false;
}

bool FindDevice(const std::string& configFile, const std::string& mount, BackupDeviceInfo& device) {
  BlockDeviceConfigReaderWriter_UNIX reader;
  if (!OpenConfig(reader, configFile)) return false;
  do {
    if (!ReadNext(reader, device)) return false;
    if (device.IsValid() && device.GetSourceVolName() == mount) return true;
  } while (device.IsValid());
  EvDebug log;
  log.Error(__FUNCTION__,
            "eRRoR -- Could not find SrcMount[%s] in ConfigFile[%s], Should we read through the rest of the config "
            "files ?",
            mount.c_str(), configFile.c_str());
  return false;
}

// The directory's "*.bmp" files whose names hold the key, in name order.
bool ListBitmaps(const std::string& directory, const std::string& key, std::list<std::string>& files) {
  EvDebug log;
  CQiDirectory listing;
  CQiError err = listing.Open(directory.c_str(), "*.bmp", true);
  if (err.IsError()) {
    log.Error(__FUNCTION__, "eRRoR -- Dir open failed for[%s] Error[%s]", directory.c_str(), err.AsString().c_str());
    return false;
  }
  for (;;) {
    SQiDirEntry entry;
    bool end = false;
    err = listing.GetEntry(entry, end);
    if (err.IsError()) {
      log.Error(__FUNCTION__, "eRRoR -- GetDirEntry failed for[%s] Error[%s]", directory.c_str(),
                err.AsString().c_str());
      return false;
    }
    if (end) break;
    const std::string name = entry.m_sName.c_str();
    if (name.find(key) != std::string::npos) files.push_back(directory + name);
  }
  listing.Close();
  return true;
}

bool MergeRestoreBitmaps(const std::string& directory, const std::string& configFile, const std::string& sourceMount,
                         const std::string& snapDevice, bool* noBitmaps, unsigned long long* diskSize,
                         unsigned long long* extentSize, unsigned char** bitmap) {
  EvDebug log;
  if (noBitmaps == nullptr || diskSize == nullptr || extentSize == nullptr || bitmap == nullptr) {
    log.Error(__FUNCTION__, "eRRoR -- no place for the results");
    return false;
  }
  const std::string mount = SourceVolume(sourceMount);
  BackupDeviceInfo device;
  if (!FindDevice(configFile, mount, device)) return false;
  *diskSize = device.GetDiskSize();
  *extentSize = device.GetExtentSize();
  const unsigned long size = device.GetBitMapSize();

  std::string name;
  VolumeBitMapHelper::GenerateBitmapFileName(mount, directory, name, "", "");
  const std::string key = "_" + name.substr(directory.size());
  log.DebugLvl(__FUNCTION__, 0, "BitMap naming convention for SrcMount[%s] is [%s]", mount.c_str(), key.c_str());
  std::list<std::string> files;
  if (!ListBitmaps(directory, key, files)) return false;
  if (files.empty()) {
    log.Error(__FUNCTION__, "eRRoR -- No Bitmaps found for this mount[%s] under[%s]", mount.c_str(),
              directory.c_str());
    *noBitmaps = true;
    return true;
  }
  *noBitmaps = false;

  Bitmap merged(nullptr, &std::free);
  for (const std::string& file : files) {
    unsigned char* read = nullptr;
    CQiError err = VolumeBitMapHelper::ReadBitMapFromFile(file, &read, size);
    Bitmap next(read, &std::free);
    if (err.IsError()) {
      log.Error(__FUNCTION__, "eRRoR -- ReadBitMapFromFile[%s] failed. Error[%s]", file.c_str(),
                err.AsString().c_str());
      return false;
    }
    if (!merged) {
      merged = std::move(next);
      continue;
    }
    err = VolumeBitMapHelper::MergeBitMaps(merged.get(), next.get(), size);
    if (err.IsError()) {
      log.Error(__FUNCTION__, "eRRoR -- MergeBitMaps failed for SrcMount[%s].Error[%s]", mount.c_str(),
                err.AsString().c_str());
      return false;
    }
  }

  CQiError err = *extentSize > INT_MAX
                     ? FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Extent size %llu out of range", *extentSize)
                     : VolumeBitMapHelper::MergeDataBlockBitMap(snapDevice, merged.get(), size,
                                                                static_cast<int>(*extentSize));
  if (err.IsError()) {
    log.Error(__FUNCTION__, "eRRoR -- MergeDataBlockBitMap failed for snap device[%s]. Error[%s]", snapDevice.c_str(),
              err.AsString().c_str());
    return false;
  }
  *bitmap = merged.release();
  return true;
}

bool ReadDiskSizes(const std::string& configFile, std::map<std::string, unsigned long long>& diskSizes) {
  BlockDeviceConfigReaderWriter reader;
  if (!OpenConfig(reader, configFile)) return false;
  for (;;) {
    BackupDeviceInfo device;
    if (!ReadNext(reader, device)) return false;
    if (!device.IsValid()) return true;
    diskSizes.emplace(device.GetSourceVolName(), device.GetDiskSize());
  }
}

}  // namespace

extern "C" bool RestoreBitMapMerger(const std::string& bitmapDirectory, const std::string& configFile,
                                    const std::string& sourceMount, const std::string& snapDevice, bool /*unused*/,
                                    bool* noBitmaps, unsigned long long* diskSize, unsigned long long* extentSize,
                                    unsigned char** bitmap) {
  return blocklevel::GuardEntryPointValue(
      __FUNCTION__, false,
      [&] {
        return MergeRestoreBitmaps(bitmapDirectory, configFile, sourceMount, snapDevice, noBitmaps, diskSize,
                                   extentSize, bitmap);
      },
      kUnhandledException);
}

extern "C" bool ReadBlockDeviceConfig(const std::string& configFile,
                                      std::map<std::string, unsigned long long>& diskSizes) {
  return blocklevel::GuardEntryPointValue(
      __FUNCTION__, false, [&] { return ReadDiskSizes(configFile, diskSizes); }, kUnhandledException);
}

void FreeBitMaps(unsigned char** first, unsigned char** second) {
  for (unsigned char** bitmap : {first, second}) {
    if (bitmap == nullptr || *bitmap == nullptr) continue;
    std::free(*bitmap);
    *bitmap = nullptr;
  }
}
