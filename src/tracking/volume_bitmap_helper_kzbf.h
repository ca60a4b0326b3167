#pragma once
// VolumeBitMapHelper_KZBF: change tracking of devices through the KZBF filter
// driver. The strategy holds no bitmaps: the shared-device bitmap handler
// takes the driver's bitmap, shares it among every subclient of the device
// and writes this subclient's share to the job's bitmap file. After the
// snapshot the volume is recorded in the attached-volume list, which cluster
// fail-over carries to the next node.
//
// One instance per process (GetVolumeHandler); it keeps no per-job state.
#include <boost/shared_ptr.hpp>
#include <string>

#include "platform/driver/kz_bf_driver.h"
#include "tracking/volume_bitmap_helper.h"

class VolumeBitMapHelper_KZBF : public VolumeBitMapHelper {
 public:
  static boost::shared_ptr<VolumeBitMapHelper_KZBF> GetVolumeHandler();

  // Whether the driver can be used: it opens, or the driver-load command
  // made it load. Decided by the first call of the process and never
  // revised; the load command runs at most once per process, and callers
  // that come while it runs wait for its outcome.
  static bool IsKZBFDriverAvailable();

  // The device itself: the driver has no pseudo-devices.
  CQiError GetUnderlyingDevice(const std::string& device, std::string& realDevice) override;
  // Extent size (the driver's for a tracked device, else the configured
  // one), total 512-byte blocks and bitmap size; the other fields as given.
  CQiError GetVolumeInfo(const std::string& device, VolumeInfo& info) override;
  // Before the snapshot: the driver's bitmap taken and cleared for this
  // application's client. After it: read again without clearing, then the
  // volume recorded for fail-over. Either way the bitmap file is read back.
  CQiError IncrBitMapFormalities(SMVolBlock& volume, const std::string& bitmapFile, const unsigned long& bitmapSize,
                                 const int& extentSize, bool preSnap) override;
  // Before the snapshot: the driver's bitmap cleared for the local client,
  // the bitmap file all ones. After it: the volume recorded for fail-over.
  CQiError FullBitMapFormalities(SMVolBlock& volume, const std::string& bitmapFile, const unsigned long& bitmapSize,
                                 const int& extentSize, bool preSnap) override;
  CQiError AttachDevice(const std::string& mountPath, const std::string& device, const int& extentSize) override;
  CQiError DetachDevice(const std::string& device) override;
  // Unmounts and removes the device's driver snapshots with their
  // copy-on-write files (or, when the driver lists none, its LVM snapshots);
  // stops tracking it when detach is set. A device the driver does not track
  // is left alone.
  CQiError DeleteSnapAndDetachDevice(const std::string& device, bool detach) override;

 private:
  friend class VolumeBitMapHelper;  // GetVolumeHandler(device, type) makes objects the caller owns
  VolumeBitMapHelper_KZBF() = default;

  // Adds the volume to the attached-volume list unless it is there.
  static CQiError RecordForFailOver(const SMVolBlock& volume, const unsigned long& bitmapSize, const int& extentSize);

  KzBfDriver m_oKzBf;
};
