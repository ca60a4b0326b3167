#pragma once
// The simulated KZBF filter driver. No kernel driver exists here, so change
// tracking is derived from content: per attached device the driver keeps its
// extent size, a digest per extent taken at attach and at every clear (the
// baseline), and a dirty bitmap. An extent is changed when its content differs
// from its baseline or its dirty bit is set (the harness marks extents
// directly). Rewriting the same bytes therefore goes unseen.
//
// State, shared by every process through a lock file:
//   <state>/drivers/kzbf/loaded          present while the driver is loaded
//   <state>/drivers/kzbf/devices/*.dev   one record per attached device
//   <state>/drivers/kzbf/snaps/*.img     images behind the snapshot devices
//   <state>/drivers/kzbf/loose/*.snaps   snapshots of devices not tracked
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/driver/kzbf_backend.h"

namespace platform {

class SimulatedKzBf : public KzBfBackend {
 public:
  CQiError Open() override;
  CQiError Attach(const std::string& device, int extentSize) override;
  CQiError Detach(const std::string& device) override;
  CQiError Query(const std::string& device, KzBfDeviceStatus& status) override;
  CQiError Clear(const std::string& device) override;
  CQiError GetBitmap(const std::string& device, std::vector<char>& bitmap, bool clear) override;
  CQiError DestroySnap(const std::string& snapshot) override;

  // The harness's side.
  static std::string Folder();
  static bool IsLoaded();
  static bool SetLoaded(bool loaded);
  // Sets the dirty bits of the given extents of an attached device.
  static CQiError MarkExtents(const std::string& device, const std::vector<uint64_t>& extents);
  // Copies the device's current content (read past the page cache) into an
  // image: attached to a free loop device when asked (the loop device is the
  // snapshot), else the image file itself. The driver lists the snapshots of
  // the devices it tracks; those of other devices it does not list, but
  // destroys them alike. The image is recorded before the copy starts, named
  // as a snapshot by itself until the copy is kept: one cut short is
  // destroyed by that name. copying, when given, is told the image then.
  // owner, recorded with the snapshot from the start, tells whose it is.
  // A loop device names one snapshot at a time: an older snapshot recorded
  // on the loop device this one gets lost it since (detached, or the machine
  // restarted), and is named by its image from then on.
  static CQiError CreateSnapshot(const std::string& device, bool onLoopDevice, std::string& snapshot,
                                 const std::function<void(const std::string& image)>& copying = {},
                                 const std::string& owner = std::string());
  // Destroys every snapshot the state holds, tracked device or not: their
  // loop devices are detached (those still reading their images).
  static void DestroyAllSnapshots();
  // The image behind a snapshot, tracked device or not (errno 2 for none).
  // Images are never named alike, so a snapshot is told by its image from a
  // later one that got the same loop device.
  static CQiError SnapshotImage(const std::string& snapshot, std::string& image);

  // A snapshot as the driver records it.
  struct Recorded {
    std::string device;    // the tracked device it copies; empty for a device not tracked
    std::string snapshot;  // its name: the loop device, or the image while on none
    std::string image;
    std::string owner;  // as CreateSnapshot was told; empty for a snapshot recorded without
  };
  // Every snapshot the state holds, tracked device or not; a record that
  // cannot be read is left out, so the call never fails. It does not wait
  // for a snapshot being taken meanwhile (its copy's image is listed).
  static CQiError Snapshots(std::vector<Recorded>& snapshots);
  // What destroying a snapshot undid.
  struct Destroyed {
    std::vector<std::string> detached;  // the loop devices that read its image
    bool imageRemoved = false;
  };
  // Destroys the snapshot of that image that the owner took (or one recorded
  // without an owner), whatever loop device it names (errno 2 for none):
  // the loop devices that read its image are detached and the image
  // removed, unless another snapshot's record names that image too.
  static CQiError DestroySnapshotOf(const std::string& image, const std::string& owner, Destroyed& destroyed);
};

}  // namespace platform
