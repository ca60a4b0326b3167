#pragma once
// KzBfClusterHandler: block-level tracking across a cluster fail-over.
//
// The KZBF driver's record of what changed since the last backup lives in the
// kernel of the node that gives a cluster's volumes up. On that node, while
// the volumes are still mounted, ClusterStop leaves each volume's driver
// bitmap (OR-ed with any an earlier stop left) in the attached-volume list's
// folder as "<volume key>.bmp", detaches the devices and appends the
// registrations of the cluster's virtual clients to the soft fail-over
// marker ".BlkLvlSoftFailover"; a volume it cannot save keeps no left-behind
// bitmap (that removal on disk before the marker, else no marker), so the
// next start marks it dirty. On the node that takes them over, once they
// are mounted, ClusterStart attaches every listed volume with a clear driver
// bitmap, keeps a volume clean when the marker and its bitmap are there and
// marks it dirty otherwise (its next backup is full), and registers the
// carried records under this node's device paths. Before it changes
// anything, it marks every volume it will mark dirty ahead (the volume's
// driver hook, or a mark that needs no new file, or, when the state
// directory takes none, a mark in the runtime folder), so that its next
// backup is full even when the start's own mark is never saved. The left-behind
// bitmaps and dirty marks are consumed by the next backup's fail-over merge,
// the hooks by its bitmap step, a device this node's driver no longer tracks
// by the bitmap step's attach.
//
// Two machine-wide locks meet here: start holds the attached-volume list's
// lock while it attaches, and registering the records takes the bitmap
// handler's semaphore, which a backup's get-and-clear holds while its
// fail-over merge waits for the list. Start therefore writes the list back
// and lets it go before it takes the semaphore, so neither waits for the
// other.
//
// Names here come from the mount point. A zfs volume's job bitmaps and
// registrations are named after its device instead, and the list records no
// device to name them by, so its left-behind bitmap never meets the merge of
// the next backup and its registrations are not carried.
//
// One object serves one call; the mount table is read before start or stop,
// and by the start's marks ahead when they need a device.
#include <list>
#include <string>

#include "platform/error/qi_error.h"
#include "platform/mnttab/kz_mnt_tab.h"
#include "tracking/volume_cluster_config.h"

class KzBfClusterHandler {
 public:
  static constexpr const char* kSoftFailoverMarker = ".BlkLvlSoftFailover";
  // The code of a start that failed before its own marks were saved, with
  // volumes that only the runtime folder's marks, or nothing, mark for a
  // full backup (Windows-style: an I/O device error, for the state
  // directory's file system that took none of them).
  static constexpr unsigned kUnsavedMarksCode = 1117;

  KzBfClusterHandler() = default;

  CQiError LoadMounts();
  // What a start does first, before it reads the mount table: each volume
  // it would mark dirty gets its next backup full ahead, so that a start
  // that then fails or dies, whatever the step, leaves none of them to an
  // incremental of this node's changes alone. The mark is the driver hook of
  // its volume key; where no hook can be made, one that needs no new file:
  // the volume's dirty flag set in place in the list, else this node's
  // driver stops tracking its device, else, as the last mark, a mark in the
  // runtime folder (tracking/runtime_full_marks.h). A list that cannot be
  // read marks every device this node has registered, and when the
  // registrations cannot be read either, every mounted device the driver
  // tracks. Failures are logged; what only the last mark, or nothing, could
  // mark is kept for the start's report.
  void HookVolumesToMark();
  // The node that takes the volumes over; HookVolumesToMark and LoadMounts
  // come first. A start that fails names what HookVolumesToMark could not
  // mark (see FailedStart).
  CQiError ClusterStart();
  // A start's failure, once its own dirty marks could not be saved: when
  // HookVolumesToMark left volumes to the last mark or to nothing, a failure
  // of kUnsavedMarksCode that names them (nothing marks them: their next
  // backup must be full) and quotes the cause.
  CQiError FailedStart(CQiError failure) const;
  // The node that gives them up.
  CQiError ClusterStop();
  // The block device behind a mount point; a block or character device path
  // is its own device.
  CQiError GetDevice(const std::string& path, std::string& device);

 private:
  CQiError Start();
  CQiError Stop();

  std::list<KzMntTab::Entry> m_lMounts;
  std::list<std::string> m_lUnmarked;       // what HookVolumesToMark could not mark
  std::list<std::string> m_lRuntimeMarked;  // what only its last mark marks
  std::string m_sRuntimeFolder;             // where that mark is
  bool m_bMarksSaved = false;          // the start's dirty marks are in the list
};

namespace cluster {

constexpr const char* kStartFunction = "KzBfClusterHandler::ClusterStart";
constexpr const char* kStopFunction = "KzBfClusterHandler::ClusterStop";

// The marker's path in the attached-volume list's folder.
std::string MarkerPath(const std::string& listDirectory);

// A listed volume as a start finds it.
struct StartVolume {
  VolumeClusterConfig volume;
  std::string leftBehind;  // the bitmap the previous node left for it
  std::string key;         // its volume key
  // Marked dirty: the previous node's record of it is not there to trust,
  // its next backup is full.
  bool dirty = false;
  // The left-behind bitmap is a hard fail-over's, stale: it goes once the
  // dirty mark is saved.
  bool staleLeftBehind = false;
};
// The listed volumes, each mount point once (by its first entry), with what
// a start decides for each: clean when the fail-over is soft and the
// previous node left the volume's bitmap, dirty otherwise. Both the start
// and the marks it makes ahead decide through this.
std::list<StartVolume> DecideVolumes(const std::list<VolumeClusterConfig>& listed, const std::string& listDirectory,
                                     bool softFailOver);
// The bitmap a stop leaves for the volume in the list's folder, and the
// volume key that names it (the file's name without ".bmp").
void LeftBehindBitmap(const std::string& mountPoint, const std::string& listDirectory, std::string& file,
                      std::string& volumeKey);

}  // namespace cluster
