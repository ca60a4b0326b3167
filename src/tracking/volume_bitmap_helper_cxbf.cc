#include "tracking/volume_bitmap_helper_cxbf.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/log/ev_debug.h"
#include "platform/memory/auto_handle.h"
#include "platform/snapshot/sm_vol_block.h"

namespace {

// The driver's volume-information record: what this strategy reads of it.
constexpr size_t kExtentSizeAt = 8;
constexpr size_t kTotalBlocksAt = 16;
constexpr size_t kBitmapSizeAt = 32;
constexpr size_t kRealDeviceAt = 112;

uint64_t ReadU64(const KZVolumeInformation& record, size_t at) {
  uint64_t value;
  std::memcpy(&value, record.bytes + at, sizeof value);
  return value;
}

// Fills the record; false when there is no volume object or the driver
// does not answer.
bool QueryVolume(VolumeBitMapHelper_CXBF& helper, const std::string& device, KZVolumeInformation& record,
                 bool& haveVolume) {
  boost::shared_ptr<KZVolumeUnix> volume = helper.GetKZVolumeObject(device);
  haveVolume = static_cast<bool>(volume);
  std::memset(record.bytes, 0, sizeof record.bytes);
  return volume && volume->getVolumeInformation(&record);
}

}  // namespace

boost::shared_ptr<VolumeBitMapHelper_CXBF> VolumeBitMapHelper_CXBF::GetVolumeHandler() {
  static boost::shared_ptr<VolumeBitMapHelper_CXBF> instance(new VolumeBitMapHelper_CXBF());
  return instance;
}

boost::shared_ptr<KZVolumeUnix> VolumeBitMapHelper_CXBF::GetKZVolumeObject(const std::string& device) {
  boost::shared_ptr<KZVolumeUnix> volume(new (std::nothrow) KZVolumeUnix(KZVolumeUnix::kControlDevice));
  if (volume) volume->selectVolume(KZVolume::getVolName(device));
  return volume;
}

CQiError VolumeBitMapHelper_CXBF::GetVolumeInfo(const std::string& device, VolumeInfo& info) {
  info = VolumeInfo();
  KZVolumeInformation record;
  bool haveVolume = false;
  if (!QueryVolume(*this, device, record, haveVolume))
    return haveVolume
               ? FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to get volume info for device=[%s]", device.c_str())
               : FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to get KZVolume object for device=[%s]",
                                         device.c_str());
  info.ExtentSize = ReadU64(record, kExtentSizeAt);
  info.TotalBlocks = ReadU64(record, kTotalBlocksAt);
  info.BitMapSize = ReadU64(record, kBitmapSizeAt);
  info.FSBlockSize = m_oControl.GetFsBlockSize();
  return CQiError();
}

CQiError VolumeBitMapHelper_CXBF::GetUnderlyingDevice(const std::string& device, std::string& realDevice) {
  KZVolumeInformation record;
  bool haveVolume = false;
  if (!QueryVolume(*this, device, record, haveVolume))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to get volume info for device=[%s]", device.c_str());
  // The text ends at its NUL or, at the latest, with the record.
  const char* text = reinterpret_cast<const char*>(record.bytes + kRealDeviceAt);
  realDevice.assign(text, ::strnlen(text, KZVolumeInformation::kSize - kRealDeviceAt));
  return CQiError();
}

CQiError VolumeBitMapHelper_CXBF::GetBitMap(const std::string& device, unsigned char* bitmap, const unsigned long& size,
                                            bool clear) {
  boost::shared_ptr<KZVolumeUnix> volume = GetKZVolumeObject(device);
  if (!volume)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to create KZVolume object for device=[%s]", device.c_str());
  if (clear) {
    if (!volume->getAndClearBitmap(0, bitmap, size, true))
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to get and clear bitmap for device=[%s]", device.c_str());
  } else if (!volume->getBitmap(0, bitmap, size, false)) {
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to get bitmap for device=[%s]", device.c_str());
  }
  return CQiError();
}

CQiError VolumeBitMapHelper_CXBF::FullBitMapFormalities(SMVolBlock& volume, const std::string& bitmapFile,
                                                        const unsigned long& bitmapSize, const int& /*extentSize*/,
                                                        bool preSnap) {
  EvDebug log;
  if (preSnap) {
    // Afterwards the driver holds only writes made from now on, for the next
    // incremental.
    boost::shared_ptr<KZVolumeUnix> object = GetKZVolumeObject(volume.sDevice);
    if (!object)
      log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Failed to get KZVolume object for device=[%s]",
                   volume.sDevice.c_str());
    else if (!object->clearBitmap(0))
      log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Failed to clear bitmap for device=[%s]", volume.sDevice.c_str());
    else
      log.DebugLvl(__FUNCTION__, 3, " -BlockLevel- FULL backup cleared drivr's bitmap for device=[%s]",
                   volume.sDevice.c_str());
    return CQiError();
  }
  auto_ptr_array<unsigned char> bitmap(new (std::nothrow) unsigned char[bitmapSize > 0 ? bitmapSize : 1]);
  if (bitmap.get() == nullptr)
    return FXErrorUtil::ErrorWin32(FXCODELOC, 14, "Failed to allocate %lu bytes of bitmap for device=[%s]", bitmapSize,
                                   volume.sDevice.c_str());
  CQiError err = SetBitMapForFULL(bitmap.get(), bitmapSize);
  if (!err.IsError()) err = WriteBitMapToFile(bitmapFile, bitmap.get(), bitmapSize);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError VolumeBitMapHelper_CXBF::IncrBitMapFormalities(SMVolBlock& volume, const std::string& bitmapFile,
                                                        const unsigned long& bitmapSize, const int& extentSize,
                                                        bool preSnap) {
  EvDebug log;
  // The file on disk is what earlier steps of the job took from the driver;
  // one that cannot be trusted to hold them leaves only a full backup.
  CQiError earlier = CheckEarlierJobBitmap(bitmapFile, bitmapSize);
  if (earlier.IsError()) {
    log.DebugLvl(__FUNCTION__, 0, " -BlockLevel- This Incremental backup is now being forced as FULL backup, error=%s",
                 earlier.AsString().c_str());
    volume.bForceFull = true;
    return FullBitMapFormalities(volume, bitmapFile, bitmapSize, extentSize, preSnap);
  }
  unsigned char* driverBitmap = static_cast<unsigned char*>(std::calloc(bitmapSize > 0 ? bitmapSize : 1, 1));
  if (driverBitmap == nullptr) {
    log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Failed to allocate memory for driver bitmap, errno=%d", errno);
  } else {
    // Before the snapshot the read clears the driver: should the bitmap file
    // not be written below, those bits are gone.
    CQiError read = GetBitMap(volume.sDevice, driverBitmap, bitmapSize, preSnap);
    if (read.IsError()) {
      log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Failed to get bitmap from driver for device=[%s], error=%s",
                   volume.sDevice.c_str(), read.AsString().c_str());
      std::free(driverBitmap);
      driverBitmap = nullptr;
    }
  }
  CQiError merged = MergeAndWriteToDiskBitMap(volume.sDevice, bitmapFile, driverBitmap, bitmapSize, extentSize);
  std::free(driverBitmap);
  if (merged.IsError()) return merged.Push(FXCODELOC);
  return merged;
}

CQiError VolumeBitMapHelper_CXBF::AttachDevice(const std::string& /*mountPath*/, const std::string& /*device*/,
                                               const int& /*extentSize*/) {
  return CQiError();
}

CQiError VolumeBitMapHelper_CXBF::DetachDevice(const std::string& /*device*/) {
  return CQiError();
}
