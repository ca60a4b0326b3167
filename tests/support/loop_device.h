#pragma once
// A real block device for a test: a sparse image file attached to a free loop
// device, detached and removed when the scope ends.
//
//   testing_support::ScopedLoopDevice loop(64 << 20);
//   BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
//   ... loop.Device() ...
//
// Where the machine cannot give one (not root, no /dev/loop-control) the test
// is skipped with that reason; any other failure to set it up fails the test.
#include <cstdint>
#include <string>

#include "support/run_command.h"  // CommandOutput: tests of a device compare with what tools report

namespace testing_support {

class ScopedLoopDevice {
 public:
  // sectorSize 0 keeps the loop driver's default logical sector size.
  explicit ScopedLoopDevice(uint64_t sizeBytes, unsigned sectorSize = 0);
  ~ScopedLoopDevice();
  ScopedLoopDevice(const ScopedLoopDevice&) = delete;
  ScopedLoopDevice& operator=(const ScopedLoopDevice&) = delete;

  bool Ok() const { return !device_.empty(); }
  const std::string& Device() const { return device_; }
  const std::string& Image() const { return image_; }
  uint64_t Size() const { return size_; }
  const std::string& SkipReason() const { return skipReason_; }

 private:
  std::string folder_;
  std::string image_;
  std::string device_;
  std::string skipReason_;
  uint64_t size_;
};

}  // namespace testing_support

#define BLB_SKIP_WITHOUT_LOOP_DEVICE(loop) \
  if (!(loop).Ok()) GTEST_SKIP() << (loop).SkipReason()
