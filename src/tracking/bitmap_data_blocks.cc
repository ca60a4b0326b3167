// Masking changed extents with the file system's allocated extents, and
// folding a driver bitmap into a bitmap file.
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/fsparser/fs_parser.h"
#include "platform/log/ev_debug.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

struct FreeDeleter {
  void operator()(unsigned char* p) const { std::free(p); }
};
using MallocBitmap = std::unique_ptr<unsigned char, FreeDeleter>;

}  // namespace

CQiError VolumeBitMapHelper::GetDataBlockBitMap(const std::string& device, unsigned char** bitmap,
                                                const unsigned long& size, const int& extentSize) {
  if (bitmap == nullptr) return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "NULL bitmap pointer passed");
  *bitmap = nullptr;
  EvDebug log;
  CQiError err;
  std::unique_ptr<FsParser> parser = FsParser::init(device, err);
  if (!parser) {
    if (FXErrorUtil::IsErrNo(err, ENOSYS)) {
      log.DebugLvl(__FUNCTION__, 0, " -BlockLevel- Device=[%s] does not have recognized FS for data only block bitmap",
                   device.c_str());
      return err.Push(FXCODELOC);
    }
    log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Failed to init FsParser, error=%s", err.AsString().c_str());
    return CQiError();
  }

  unsigned char* raw = nullptr;
  uint64_t extents = 0;
  err = parser->GetAllocatedExtentBitmap(extentSize > 0 ? static_cast<uint64_t>(extentSize) : 0, &raw, extents);
  MallocBitmap data(raw);
  if (err.IsError()) {
    log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Could not get data only block bitmap for device=[%s], error=%s",
                 device.c_str(), err.AsString().c_str());
    return CQiError();
  }
  const uint64_t bytes = extents / 8 + (extents % 8 != 0 ? 1 : 0);
  if (bytes != size) {
    log.DebugLvl(__FUNCTION__, -1,
                 " -BlockLevel- Disk bitmap and data bitmap are not of same size, %lu vs %lld for device=[%s]", size,
                 static_cast<long long>(bytes), device.c_str());
    return CQiError();
  }
  *bitmap = data.release();
  return CQiError();
}

CQiError VolumeBitMapHelper::MergeDataBlockBitMap(const std::string& device, unsigned char* bitmap,
                                                  const unsigned long& size, const int& extentSize) {
  if (bitmap == nullptr) return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "NULL bitmap passed");
  unsigned char* raw = nullptr;
  // No data-block bitmap (an unknown file system included) leaves the
  // change bitmap as it is: masking is an optimisation, never a must.
  GetDataBlockBitMap(device, &raw, size, extentSize);
  MallocBitmap data(raw);
  if (!data) return CQiError();
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 4, " -BlockLevel- We have data bitmap with disk bitmap for device=[%s], merging them",
               device.c_str());
  CQiError err = MergeDataBitMaps(bitmap, data.get(), size);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError VolumeBitMapHelper::MergeDataBlockBitMap(const std::string& device, unsigned char* bitmap,
                                                  unsigned char* dataBlocks, const unsigned long& size, const int&) {
  EvDebug log;
  if (bitmap == nullptr || dataBlocks == nullptr) {
    log.DebugLvl(__FUNCTION__, 1, "Either of the bitmap passed is NULL");
    return CQiError();
  }
  log.DebugLvl(__FUNCTION__, 4, " -BlockLevel- We have data bitmap with disk bitmap for device=[%s], merging them",
               device.c_str());
  CQiError err = MergeDataBitMaps(bitmap, dataBlocks, size);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError VolumeBitMapHelper::MergeAndWriteToDiskBitMap(const std::string& device, const std::string& bitmapFile,
                                                       unsigned char* driverBitmap, const unsigned long& size,
                                                       const int&) {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 4, " -BlockLevel- Reading on-disk bitmap from file=[%s], for device=[%s]",
               bitmapFile.c_str(), device.c_str());
  unsigned char* raw = nullptr;
  CQiError readErr = ReadBitMapFromFile(bitmapFile, &raw, size);
  MallocBitmap disk(raw);
  if (readErr.IsError()) {
    if (!FXErrorUtil::IsErrNo(readErr, ENOENT)) return readErr.Push(FXCODELOC);
    log.DebugLvl(__FUNCTION__, 1, " -BlockLevel- No on-disk bitmap for device=[%s], may be a FULL job", device.c_str());
  }

  const unsigned char* result = nullptr;
  if (disk && driverBitmap != nullptr) {
    log.DebugLvl(__FUNCTION__, 0, " -BlockLevel- Driver bitmap merged with on disk bitmap for device=[%s]",
                 device.c_str());
    CQiError err = MergeBitMaps(disk.get(), driverBitmap, size);
    if (err.IsError()) return err.Push(FXCODELOC);
    result = disk.get();
  } else if (disk) {
    log.DebugLvl(__FUNCTION__, 0, " -BlockLevel- We have only disk bitmap for device=[%s]", device.c_str());
    result = disk.get();
  } else if (driverBitmap != nullptr) {
    log.DebugLvl(__FUNCTION__, 0, " -BlockLevel- We have only driver bitmap for device=[%s]", device.c_str());
    result = driverBitmap;
  }

  if (result == nullptr) {
    log.DebugLvl(
        __FUNCTION__, 0,
        " -BlockLevel- No disk bitmap and no driver bitmap found, not writing anything to disk for device=[%s]",
        device.c_str());
    return readErr.Push(FXCODELOC);
  }
  if (IsInspectRequested()) {
    log.DebugLvl(__FUNCTION__, 0, " -BlockLevel- Printing bitmap info before merging data block bitmap");
    InspectBitMap(result, size);
  }
  // The file may hold bits already cleared from the driver: a failed write
  // must leave it as it was.
  CQiError err = ReplaceBitMapFile(bitmapFile, result, size);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}
