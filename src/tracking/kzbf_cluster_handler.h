#pragma once
// KzBfClusterHandler: block-level tracking across a cluster fail-over.
//
// The KZBF driver's record of what changed since the last backup lives in the
// kernel of the node that gives a cluster's volumes up. On that node, while
// the volumes are still mounted, ClusterStop leaves each volume's driver
// bitmap (OR-ed with any an earlier stop left) in the attached-volume list's
// folder as "<volume key>.bmp", detaches the devices and appends the
// registrations of the cluster's virtual clients to the soft fail-over
// marker ".BlkLvlSoftFailover". On the node that takes them over, once they
// are mounted, ClusterStart attaches every listed volume with a clear driver
// bitmap, keeps a volume clean when the marker and its bitmap are there and
// marks it dirty otherwise (its next backup is full), and registers the
// carried records under this node's device paths. Before it changes
// anything, it makes the driver hook of every volume it will mark dirty, so
// that its next backup is full even when the mark is never saved. The
// left-behind bitmaps and dirty marks are consumed by the next backup's
// fail-over merge, the hooks by its bitmap step.
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
// One object serves one call; the mount table is read once, before start or
// stop.
#include <list>
#include <string>

#include "platform/error/qi_error.h"
#include "platform/mnttab/kz_mnt_tab.h"

class KzBfClusterHandler {
 public:
  static constexpr const char* kSoftFailoverMarker = ".BlkLvlSoftFailover";

  KzBfClusterHandler() = default;

  CQiError LoadMounts();
  // What a start does first, before it reads the mount table: each volume
  // it would mark dirty gets its next backup full through the driver hook
  // of its volume key, so that a start that then fails or dies, whatever
  // the step, leaves none of them to an incremental of this node's changes
  // alone. A list that cannot be read hooks every device this node has
  // registered. Failures are only logged.
  void HookVolumesToMark();
  // The node that takes the volumes over; HookVolumesToMark and LoadMounts
  // come first.
  CQiError ClusterStart();
  // The node that gives them up.
  CQiError ClusterStop();
  // The block device behind a mount point; a block or character device path
  // is its own device.
  CQiError GetDevice(const std::string& path, std::string& device);

 private:
  CQiError Start();
  CQiError Stop();

  std::list<KzMntTab::Entry> m_lMounts;
};

namespace cluster {

// The marker's path in the attached-volume list's folder.
std::string MarkerPath(const std::string& listDirectory);
// Whether a start keeps a volume clean: the fail-over is soft and the
// previous node left the volume's bitmap. Any other volume is marked dirty.
bool StaysClean(bool softFailOver, const std::string& leftBehindFile);
// The bitmap a stop leaves for the volume in the list's folder, and the
// volume key that names it (the file's name without ".bmp").
void LeftBehindBitmap(const std::string& mountPoint, const std::string& listDirectory, std::string& file,
                      std::string& volumeKey);

}  // namespace cluster
