#pragma once
// VolumeBitMapHelper_CXBF: change tracking of the pseudo-devices of the CXBF
// filter driver. The driver tracks every pseudo-device by itself (attaching
// and detaching do nothing); geometry, the real device underneath and the
// driver's bitmap come from the agent's volume class on the driver's control
// device, and snapshots are removed with ioctls on that device.
//
// One instance per process (GetVolumeHandler). It keeps no state of its own:
// every call works on a volume object and a control-device descriptor of its
// own.
#include <boost/shared_ptr.hpp>
#include <string>

#include "platform/cxbf/kz_volume.h"
#include "tracking/volume_bitmap_helper.h"

class VolumeBitMapHelper_CXBF : public VolumeBitMapHelper {
 public:
  static boost::shared_ptr<VolumeBitMapHelper_CXBF> GetVolumeHandler();

  // A volume object on the control device with the device's volume selected
  // (by its name; whether the driver knows it shows in the calls that
  // follow). Empty when it cannot be made.
  boost::shared_ptr<KZVolumeUnix> GetKZVolumeObject(const std::string& device);
  // The device's driver bitmap into bitmap[0, size); with clear, the
  // driver's bitmap is cleared by the same call.
  CQiError GetBitMap(const std::string& device, unsigned char* bitmap, const unsigned long& size, bool clear);

  // The real device under the pseudo-device.
  CQiError GetUnderlyingDevice(const std::string& device, std::string& realDevice) override;
  // Extent size, total 512-byte blocks and bitmap size from the driver, the
  // file-system block size from the control device; the rest 0.
  CQiError GetVolumeInfo(const std::string& device, VolumeInfo& info) override;
  // The driver bitmap OR-ed into the job's bitmap file: cleared in the driver
  // before the snapshot, only read after it.
  CQiError IncrBitMapFormalities(SMVolBlock& volume, const std::string& bitmapFile, const unsigned long& bitmapSize,
                                 const int& extentSize, bool preSnap) override;
  // Before the snapshot the driver's bitmap is cleared (a failure is only
  // logged); after it the bitmap file is all ones.
  CQiError FullBitMapFormalities(SMVolBlock& volume, const std::string& bitmapFile, const unsigned long& bitmapSize,
                                 const int& extentSize, bool preSnap) override;
  CQiError AttachDevice(const std::string& mountPath, const std::string& device, const int& extentSize) override;
  CQiError DetachDevice(const std::string& device) override;
  // Stops and deletes every snapshot of the pseudo-device; a snapshot that
  // will not stop or delete is logged and left. The device stays tracked.
  CQiError DeleteSnapAndDetachDevice(const std::string& device, bool detach) override;

 private:
  friend class VolumeBitMapHelper;  // GetVolumeHandler(device, type) makes objects the caller owns
  VolumeBitMapHelper_CXBF() : m_oControl(KZVolumeUnix::kControlDevice) {}

  KZVolumeUnix m_oControl;  // no volume selected: the driver's own answers
};
