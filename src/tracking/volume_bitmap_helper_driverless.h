#pragma once
// VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS: block-level backup without a
// filter driver. Nothing tracks changes, so every backup is full: every
// bitmap has all bits set and the incremental step turns the volume full.
// What it keeps is each device's geometry, recorded at every attach in a
// device-configuration file of its own:
//   <driver cache folder>/DriverLess/<get_guid_nosalt(device)>/BlockDeviceConfig.kzf
// from which GetVolumeInfo takes the device's extent size. It also removes
// the system's LVM snapshots of a device.
//
// One instance per process (GetVolumeHandler); it keeps no state in memory.
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

#include "tracking/volume_bitmap_helper.h"

class VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS : public VolumeBitMapHelper {
 public:
  static boost::shared_ptr<VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS> GetVolumeHandler();

  // The path of the device's record; the two folders are made when missing.
  // The path is empty when the driver cache folder is not known.
  CQiError GetDriverLessConfigFilePath(const std::string& device, std::string& path);
  // The device's geometry for the given extent size, or for the configured
  // one when it is 0 (written back). 1627 when the device's size is unknown.
  CQiError GetDeviceInfo(const std::string& device, uint64_t& extentSize, uint64_t& totalBlocks, uint64_t& bitmapSize);

  CQiError GetUnderlyingDevice(const std::string& device, std::string& realDevice) override;
  // Extent size from the device's record (the configured one without a
  // record), the size measured afresh; the other fields as given.
  CQiError GetVolumeInfo(const std::string& device, VolumeInfo& info) override;
  // Sets the volume's force-full flag and runs the full step.
  CQiError IncrBitMapFormalities(SMVolBlock& volume, const std::string& bitmapFile, const unsigned long& bitmapSize,
                                 const int& extentSize, bool preSnap) override;
  // Records the device again, then writes an all-ones bitmap file; the same
  // before and after the snapshot.
  CQiError FullBitMapFormalities(SMVolBlock& volume, const std::string& bitmapFile, const unsigned long& bitmapSize,
                                 const int& extentSize, bool preSnap) override;
  // Records the device with the configured extent size (the argument is not
  // used), so every attach applies the current setting.
  CQiError AttachDevice(const std::string& mountPath, const std::string& device, const int& extentSize) override;
  // Removes the device's record; its folder stays.
  CQiError DetachDevice(const std::string& device) override;
  // Unmounts and removes the system's LVM snapshots of the device.
  CQiError DeleteSnapAndDetachDevice(const std::string& device, bool detach) override;

 private:
  friend class VolumeBitMapHelper;  // GetVolumeHandler(device, type) makes objects the caller owns
  VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS() = default;
};
