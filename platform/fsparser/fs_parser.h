#pragma once
// The file system's view of a block device: which extents hold allocated
// blocks. Understands ext2, ext3 and ext4 (through libext2fs); any other
// content fails init with errno 38 (ENOSYS), the code callers test for
// "no parser for this file system".
#include <cstdint>
#include <memory>
#include <string>

#include "platform/error/qi_error.h"

struct struct_ext2_filsys;

class FsParser {
 public:
  // Opens the device's (or image file's) file system read-only. Null with
  // the error set on failure.
  static std::unique_ptr<FsParser> init(const std::string& device, CQiError& error);
  ~FsParser();
  FsParser(const FsParser&) = delete;
  FsParser& operator=(const FsParser&) = delete;

  // One bit per extent of the device (extent i: bit i % 8 of byte i / 8), set
  // when any block of the extent is allocated. The buffer comes from calloc
  // and is the caller's (release with free). The extent count covers the
  // whole device, the last extent possibly partial.
  CQiError GetAllocatedExtentBitmap(uint64_t extentSize, unsigned char** bitmap, uint64_t& extentCount);

  static bool test_bmp_bit(long long bit, const unsigned char* bitmap) {
    return (bitmap[bit >> 3] & (1u << (bit & 7))) != 0;
  }
  static void set_bmp_bit(long long bit, unsigned char* bitmap) {
    bitmap[bit >> 3] = static_cast<unsigned char>(bitmap[bit >> 3] | (1u << (bit & 7)));
  }
  static void clear_bmp_bit(long long bit, unsigned char* bitmap) {
    bitmap[bit >> 3] = static_cast<unsigned char>(bitmap[bit >> 3] & ~(1u << (bit & 7)));
  }

 private:
  FsParser(struct_ext2_filsys* fs, std::string device, uint64_t deviceBytes)
      : m_pFs(fs), m_sDevice(std::move(device)), m_nDeviceBytes(deviceBytes) {}

  struct_ext2_filsys* m_pFs;
  std::string m_sDevice;
  uint64_t m_nDeviceBytes;  // 0 when the device's size could not be read
};
