// Cluster stop: the node that gives its volumes up leaves their change
// records behind for the node that takes them over.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "platform/driver/kz_bf_driver.h"
#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "records/file_replacement.h"
#include "tracking/attached_volume_list.h"
#include "tracking/block_level_bitmap_handler.h"
#include "tracking/driver_cache_folder.h"
#include "tracking/kzbf_cluster_handler.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

constexpr const char* kFunction = cluster::kStopFunction;

int LastErrno() {
  return errno != 0 ? errno : -1;
}

// The driver's bitmap of the volume, left in the driver. A driver that hands
// back less than the list's size has not given the volume's bitmap.
CQiError ReadDriverBitmap(KzBfDriver& driver, const std::string& device, std::vector<char>& bitmap) {
  const size_t size = bitmap.size();
  CQiError err = driver.getBitmap(device, &bitmap, false);
  if (err.IsError()) return err.Push(FXCODELOC);
  if (bitmap.size() < size)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Driver returned %zu bytes of bitmap for device [%s], %zu expected",
                                   bitmap.size(), device.c_str(), size);
  return err;
}

// ORs what an earlier stop left for the volume into the bitmap.
CQiError MergeEarlierBitmap(const std::string& file, unsigned char* bitmap, const unsigned long& size) {
  EvDebug log;
  log.DebugLvl(kFunction, 0, "Reading existing bitmaps from file [%s]", file.c_str());
  unsigned char* earlier = nullptr;
  CQiError err = VolumeBitMapHelper::ReadBitMapFromFile(file, &earlier, size);
  if (err.IsError()) return err.Push(FXCODELOC);
  log.DebugLvl(kFunction, 0, "Merging them with driver bitmaps");
  err = VolumeBitMapHelper::MergeBitMaps(bitmap, earlier, size);
  std::free(earlier);
  return err;
}

// What the stop did with the left-behind bitmaps of the volumes it did not
// carry: the marker makes the next start trust every bitmap in the folder,
// and one of an earlier stop lacks this node's writes.
struct StaleBitmaps {
  bool removed = false;
  std::string kept;
  int keptErrno = 0;
};

// Saves one volume's bitmap in the list's folder; a failure leaves the
// device attached and the volume's records behind.
CQiError SaveVolumeBitmap(KzBfDriver& driver, const VolumeClusterConfig& volume, const std::string& device,
                          const std::string& file) {
  EvDebug log;
  if (volume.GetBitMapSize() <= 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Invalid bitmap size [%d] of mount point [%s]",
                                   volume.GetBitMapSize(), volume.GetMountPoint().c_str());
  const unsigned long size = static_cast<unsigned long>(volume.GetBitMapSize());
  std::vector<char> bitmap(size, 0);
  CQiError err = ReadDriverBitmap(driver, device, bitmap);
  if (err.IsError()) return err;
  unsigned char* bytes = reinterpret_cast<unsigned char*>(bitmap.data());
  if (::access(file.c_str(), F_OK) == 0) {
    err = MergeEarlierBitmap(file, bytes, size);
    if (err.IsError()) return err;
  }
  if (VolumeBitMapHelper::IsInspectRequested()) {
    log.DebugLvl(kFunction, 0, "Printing failing over bitmap");
    VolumeBitMapHelper::InspectBitMap(bytes, size);
  }
  err = VolumeBitMapHelper::WriteBitMapToFile(file, bytes, size);
  // The driver stops tracking the volume next: the file's name must be on
  // disk before it is the only record of the volume's changes.
  if (!err.IsError()) err = records::SyncFolderOf(file);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

// A volume the stop does not carry keeps this node's writes in the driver
// only: whatever an earlier stop left for it, or this one left half-written,
// goes, so that the next start marks it dirty.
void RemoveUncarriedBitmap(const VolumeClusterConfig& volume, const std::string& file, StaleBitmaps& stale) {
  EvDebug log;
  log.DebugLvl(kFunction, -1, "Mount point [%s] is not carried over, its next backup will be full",
               volume.GetMountPoint().c_str());
  if (::access(file.c_str(), F_OK) != 0 && errno == ENOENT) return;
  log.DebugLvl(kFunction, 0, "Deleting stale bitmap[%s] for mountpoint[%s]", file.c_str(),
               volume.GetMountPoint().c_str());
  if (unlink_utf(file.c_str()) == 0) {
    stale.removed = true;
    return;
  }
  if (errno == ENOENT) return;
  const int failure = LastErrno();
  log.Error(kFunction, "unlink failed for file [%s] error[%s]", file.c_str(), std::strerror(failure));
  if (!stale.kept.empty()) return;
  stale.kept = file;
  stale.keptErrno = failure;
}

void DetachIfKzbf(const std::string& device) {
  VolumeBitMapHelper::eDeviceType_t type = VolumeBitMapHelper::eDeviceType_NONE;
  boost::shared_ptr<VolumeBitMapHelper> strategy = VolumeBitMapHelper::GetVolumeHandlerInstance(device, type);
  if (type != VolumeBitMapHelper::eDeviceType_KZBF || !strategy) return;
  CQiError err = strategy->DeleteSnapAndDetachDevice(device, true);
  if (err.IsError()) {
    EvDebug log;
    log.DebugLvl(kFunction, -1, "Failed to detach '%s', error=%s, subsequent unmount might fail", device.c_str(),
                 err.AsString().c_str());
  }
}

// Appends the records to the marker, which is made when missing.
CQiError WriteMarker(const std::string& marker, CBlockLevelBitmapHandler& handler,
                     const std::list<std::string>& volumeKeys) {
  EvDebug log;
  std::FILE* file = std::fopen(marker.c_str(), "ae");
  if (file == nullptr) {
    const int failure = LastErrno();
    return FXErrorUtil::ErrorErrNo(FXCODELOC, failure, "failed to create file %s err: %s", marker.c_str(),
                                   std::strerror(failure));
  }
  log.DebugLvl(kFunction, 0, "Created soft failover file[%s]", marker.c_str());
  std::list<VolumeConfig> records;
  CQiError err = handler.HandleClusterStopForUNIX(volumeKeys, records);
  if (err.IsError()) records.clear();  // the marker stays as it was
  int failure = 0;
  for (const VolumeConfig& record : records) {
    const std::string line = record.Serialize();
    if (std::fputs(line.c_str(), file) == EOF) {
      failure = LastErrno();
      break;
    }
    log.DebugLvl(kFunction, 0, "Written VolConfig [%s] to file [%s]", line.c_str(), marker.c_str());
  }
  // The next start deletes the marker once read: what it carries must be on
  // disk before the volumes move.
  if (failure == 0 && std::fflush(file) != 0) failure = LastErrno();
  if (failure == 0 && ::fsync(fileno(file)) != 0) failure = LastErrno();
  if (std::fclose(file) != 0 && failure == 0) failure = LastErrno();
  if (err.IsError()) return err.Push(FXCODELOC);
  if (failure != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, failure, "Failed to write soft failover file %s err: %s", marker.c_str(),
                                   std::strerror(failure));
  // A marker made here is no marker until its name is on disk too.
  err = records::SyncFolderOf(marker);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to write soft failover file %s", marker.c_str());
  return err;
}

// No marker may make the next start trust a stale bitmap: each removal is
// on disk before the marker is written, and a bitmap that could not go
// leaves no marker (the next start marks every volume dirty).
CQiError CheckStaleBitmapsGone(const StaleBitmaps& stale, const std::string& folder) {
  if (!stale.kept.empty())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, stale.keptErrno,
                                   "Failed to unlink stale bitmap %s, no soft failover file written",
                                   stale.kept.c_str());
  if (!stale.removed) return CQiError();
  CQiError err = records::SyncFolder(folder);
  if (err.IsError())
    return err.Push(FXCODELOC, "The removal of the stale bitmaps is not on disk, no soft failover file written");
  return err;
}

// A stop that leaves no marker relies on the next start being hard: an
// earlier stop's marker would make it soft all the same, so it goes too,
// with the records it carried (their volumes' next backups register them
// afresh, full).
CQiError WithdrawEarlierMarker(const std::string& marker, CQiError failure) {
  EvDebug log;
  if (unlink_utf(marker.c_str()) == 0) {
    CQiError synced = records::SyncFolderOf(marker);
    if (synced.IsError())
      failure.Push(FXCODELOC, "The removal of the earlier soft failover file is not on disk (%s)",
                   synced.AsString().c_str());
  } else if (errno != ENOENT) {
    const int removal = LastErrno();
    failure.Push(FXCODELOC, "Failed to unlink the earlier soft failover file %s: %s", marker.c_str(),
                 std::strerror(removal));
  }
  log.DebugLvl(kFunction, -1, "%s: the next start must mark every volume dirty", failure.AsString().c_str());
  return failure;
}

}  // namespace

CQiError KzBfClusterHandler::Stop() {
  EvDebug log;
  KzBfDriver driver;
  if (driver.open().IsError()) {
    log.DebugLvl(kFunction, 0, "KZBF driver not present, not considering block level [KZBF] failover");
    return CQiError();
  }

  CAttachedVolumeList list(false);
  log.DebugLvl(kFunction, 0, "Reading cluster volume config file=[%s]", list.GetConfigFileName().c_str());
  std::list<VolumeClusterConfig> volumes;
  CQiError err = list.GetVolumeList(volumes);
  if (FXErrorUtil::IsErrNo(err, 2)) {
    log.DebugLvl(kFunction, 0,
                 "Block level cluster config file [%s] not present, not considering block level [KZBF] failover",
                 list.GetConfigFileName().c_str());
    return CQiError();
  }
  if (err.IsError()) return err;

  std::string driverCacheFolder;
  KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(driverCacheFolder);
  CBlockLevelBitmapHandler handler;
  err = handler.Initialize(driverCacheFolder);
  if (err.IsError()) return err.Push(FXCODELOC);

  std::set<std::string> handled;
  std::list<std::string> stoppedKeys;
  StaleBitmaps stale;
  for (const VolumeClusterConfig& volume : volumes) {
    if (!handled.insert(volume.GetMountPoint()).second) continue;
    std::string device, file, key;
    cluster::LeftBehindBitmap(volume.GetMountPoint(), list.GetConfigDirName(), file, key);
    err = GetDevice(volume.GetMountPoint(), device);
    if (!err.IsError()) err = SaveVolumeBitmap(driver, volume, device, file);
    if (err.IsError()) {
      log.DebugLvl(kFunction, -1, "%s, continue with next", err.AsString().c_str());
      RemoveUncarriedBitmap(volume, file, stale);
      continue;
    }
    DetachIfKzbf(device);
    stoppedKeys.push_back(key);
  }
  const std::string marker = cluster::MarkerPath(list.GetConfigDirName());
  err = CheckStaleBitmapsGone(stale, list.GetConfigDirName());
  if (err.IsError()) return WithdrawEarlierMarker(marker, err);
  log.DebugLvl(kFunction, 0, "All volumes stopped successfully...");
  return WriteMarker(marker, handler, stoppedKeys);
}
