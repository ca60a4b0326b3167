// The agent's exports over a job-results directory's per-volume bitmap
// files: folding listed bitmap files into each configured device's file, and
// making every device's next backup full.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "blocklevel/blocklevel.h"
#include "devconfig/kz_device_config_handler.h"
#include "library/entry_guard.h"
#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "records/block_device_config.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

using Bitmap = std::unique_ptr<unsigned char, decltype(&std::free)>;

constexpr const char* kInspectMarker = "/tmp/inspectbitmap";

// Decided by the first merge of the process: a marker made or removed later
// changes nothing until the process restarts.
bool InspectRequested() {
  static std::once_flag decided;
  static bool inspect = false;
  std::call_once(decided, [] { inspect = ::access(kInspectMarker, F_OK) == 0; });
  return inspect;
}

void Inspect(const std::string& title, const unsigned char* bitmap, unsigned long size) {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 0, "%s", title.c_str());
  VolumeBitMapHelper::InspectBitMap(bitmap, size);
}

// A zfs pool dataset rather than a block device: it has no bitmap file.
bool IsZfsDataset(const BackupDeviceInfo& device) {
  return device.GetFSType() == "zfs" && device.GetSourceDeviceName().compare(0, 5, "/dev/") != 0;
}

std::string BitmapFileOf(const BackupDeviceInfo& device, const std::string& directory) {
  std::string name;
  VolumeBitMapHelper::GenerateBitmapFileName(device.GetSourceVolName(), directory, name, device.GetSourceDeviceName(),
                                             device.GetFSType());
  return name;
}

CQiError ReadBitmap(const std::string& path, unsigned long size, Bitmap& bitmap) {
  unsigned char* read = nullptr;
  CQiError err = VolumeBitMapHelper::ReadBitMapFromFile(path, &read, size);
  bitmap.reset(read);
  return err;
}

bool SameFile(const std::string& first, const std::string& second) {
  struct stat a, b;
  return ::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

void RemoveFile(const std::string& path) {
  if (unlink_utf(path.c_str()) < 0) {
    EvDebug log;
    log.DebugLvl(__FUNCTION__, -1, "Failed to remove disk bitmap file [%s], error=%d", path.c_str(), errno);
  }
}

// ORs every listed file whose path holds the device's key into its bitmap
// file, through a temporary renamed over it. The files folded in go only
// once the result is in place, so a merge that fails loses none of their
// extents; merging them again later changes nothing.
CQiError MergeDevice(const BackupDeviceInfo& device, const std::string& directory, std::list<std::string>& work) {
  EvDebug log;
  const std::string volume = device.GetSourceVolName();
  const std::string target = BitmapFileOf(device, directory);
  log.DebugLvl(__FUNCTION__, 0, "Processing Bitmap [%s] for Mount Volume [%s]", target.c_str(), volume.c_str());
  for (auto entry = work.begin(); entry != work.end(); ++entry) {
    if (*entry != target) continue;
    log.DebugLvl(__FUNCTION__, 0, "Removing current bitmap '%s' from the list to process", target.c_str());
    work.erase(entry);
    break;
  }
  const unsigned long size = device.GetBitMapSize();
  Bitmap merged(nullptr, &std::free);
  CQiError err = ReadBitmap(target, size, merged);
  if (err.IsError()) return err;
  if (InspectRequested()) Inspect("Printing extents from current bitmap [" + target + "]", merged.get(), size);

  // An entry that did not hold the key still does not once others are gone,
  // so one pass finds what restarting after each merge would.
  const std::string key = target.substr(target.rfind('/') + 1);
  std::list<std::string> consumed;
  for (auto entry = work.begin(); entry != work.end();) {
    if (entry->find(key) == std::string::npos) {
      ++entry;
      continue;
    }
    log.DebugLvl(__FUNCTION__, 1, "Processing Bitmap [%s] for Mount Volume [%s]", entry->c_str(), volume.c_str());
    Bitmap other(nullptr, &std::free);
    err = ReadBitmap(*entry, size, other);
    if (err.IsError()) return err;
    if (InspectRequested()) Inspect("Printing extents from bitmap [" + *entry + "]", other.get(), size);
    log.DebugLvl(__FUNCTION__, 1, "Merging bitmaps [%s] into [%s] for mount volume [%s]", entry->c_str(),
                 target.c_str(), volume.c_str());
    err = VolumeBitMapHelper::MergeBitMaps(merged.get(), other.get(), size);
    if (err.IsError()) return err;
    if (InspectRequested()) Inspect("Printing merged bitmap", merged.get(), size);
    consumed.push_back(*entry);
    entry = work.erase(entry);
  }
  if (InspectRequested()) Inspect("Printing FINAL merged bitmap", merged.get(), size);

  const std::string temporary = target + "_tmp";
  log.DebugLvl(__FUNCTION__, 2, "Writing merged bitmap for mount volume [%s] to file [%s]", volume.c_str(),
               temporary.c_str());
  err = VolumeBitMapHelper::WriteBitMapToFile(temporary, merged.get(), size);
  if (err.IsError()) return err;
  if (rename_utf(temporary.c_str(), target.c_str()) != 0) {
    const int failure = errno != 0 ? errno : -1;
    log.DebugLvl(__FUNCTION__, -1, "Failed to rename [%s] to [%s]", temporary.c_str(), target.c_str());
    unlink_utf(temporary.c_str());
    return FXErrorUtil::ErrorErrNo(FXCODELOC, failure, "Failed to write to disk bitmap file");
  }
  // A second listing of the device's own file (under any name) was merged
  // with itself; it is the result now and stays.
  for (const std::string& file : consumed)
    if (!SameFile(file, target)) RemoveFile(file);
  return CQiError();
}

CQiError MergeBitmaps(unsigned long appId, unsigned long cellId, const std::string& directory,
                      const std::list<std::string>& files) {
  TarvosJobInfo job;
  job.SetAppId(appId);
  job.SetVornCellId(cellId);
  job.SetJobResultsDir(directory);
  std::unique_ptr<KzDeviceConfigHandler> handler(KzDeviceConfigHandler::GetDeviceConfigHandler(job));
  CQiError err = handler->InitRead();
  if (err.IsError()) return err.Push(FXCODELOC);

  std::list<std::string> work(files);
  InspectRequested();
  for (;;) {
    BackupDeviceInfo device;
    bool end = false;
    err = handler->GetNextDeviceConfig(device, end);
    if (err.IsError()) return err.Push(FXCODELOC);
    if (end) break;
    if (IsZfsDataset(device)) continue;
    err = MergeDevice(device, directory, work);
    if (err.IsError()) return err;
  }
  EvDebug log;
  for (const std::string& unused : work) {
    log.DebugLvl(__FUNCTION__, 0, "Removing unused disk bitmap file [%s]", unused.c_str());
    unlink_utf(unused.c_str());
  }
  return CQiError();
}

CQiError ResetBitmaps(const std::string& directory) {
  EvDebug log;
  BlockDeviceConfigReaderWriter_UNIX reader;
  CQiError err = reader.InitRead(directory + "/" + BlockDeviceConfigReaderWriter::kMainFileName);
  if (err.IsError()) return err.Push(FXCODELOC);
  for (;;) {
    BackupDeviceInfo device;
    err = reader.ReadNextBackupConfig(device);
    if (err.IsError()) return err.Push(FXCODELOC);
    if (!device.IsValid()) break;
    if (IsZfsDataset(device)) continue;
    const std::string file = BitmapFileOf(device, directory);
    // A damaged record's size would become an allocation of any size.
    if (!device.BitmapFitsExtents())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL,
                                     "Device record of volume [%s] is damaged: a bitmap of %llu "
                                     "bytes for %llu extents",
                                     device.GetSourceVolName().c_str(),
                                     static_cast<unsigned long long>(device.GetBitMapSize()),
                                     static_cast<unsigned long long>(device.GetTotalExtents()));
    const unsigned long size = device.GetBitMapSize();
    Bitmap full(static_cast<unsigned char*>(std::malloc(size > 0 ? size : 1)), &std::free);
    if (!full) {
      const int failure = errno != 0 ? errno : ENOMEM;
      return FXErrorUtil::ErrorErrNo(FXCODELOC, failure, "Failed to allocate memory for bitmap, err=%s",
                                     std::strerror(failure));
    }
    log.DebugLvl(__FUNCTION__, 0, "Resetting bitmap[%s] for volume[%s]", file.c_str(),
                 device.GetSourceVolName().c_str());
    VolumeBitMapHelper::SetBitMapForFULL(full.get(), size);
    // The previous bitmap stays until the full one is whole: a reset that
    // fails or dies never leaves a device without a bitmap or with a cut one.
    err = VolumeBitMapHelper::ReplaceBitMapFile(file, full.get(), size);
    if (err.IsError()) return err.Push(FXCODELOC);
  }
  return CQiError();
}

}  // namespace

extern "C" CQiError MergeBitmapForBlockLevelSnap(unsigned long appId, unsigned long cellId,
                                                 const std::string& directory, const std::list<std::string>& files) {
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&] { return MergeBitmaps(appId, cellId, directory, files); });
}

extern "C" CQiError ResetBitmapsForFull(const std::string& directory) {
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&] { return ResetBitmaps(directory); });
}
