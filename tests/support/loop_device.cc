#include "support/loop_device.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/process/kz_process.h"
#include "platform/sim/fs_util.h"
#include "platform/text/fx_string.h"
#include "support/temporary_folder.h"

namespace testing_support {
namespace {

constexpr int kAttachAttempts = 5;

}  // namespace

ScopedLoopDevice::ScopedLoopDevice(uint64_t sizeBytes, unsigned sectorSize) : size_(sizeBytes) {
  if (::geteuid() != 0) {
    skipReason_ = "loop devices need root";
    return;
  }
  if (::access("/dev/loop-control", F_OK) != 0) {
    skipReason_ = "this machine has no /dev/loop-control";
    return;
  }
  folder_ = MakeTemporaryFolder("blbloop");
  if (folder_.empty()) {
    skipReason_ = "no folder for the image";
    return;
  }
  image_ = folder_ + "/image.img";
  FILE* created = std::fopen(image_.c_str(), "w");
  if (created != nullptr) std::fclose(created);
  if (created == nullptr || ::truncate(image_.c_str(), static_cast<off_t>(sizeBytes)) != 0) {
    ADD_FAILURE() << "cannot size " << image_;
    skipReason_ = "no image";
    return;
  }
  const std::string options = sectorSize != 0 ? " --sector-size " + std::to_string(sectorSize) : std::string();
  std::string error;
  // Other tests attach devices at the same time: a device found free may be
  // taken before it is ours.
  for (int attempt = 0; attempt < kAttachAttempts && device_.empty(); ++attempt) {
    std::string output;
    if (KzProcess::system("losetup -f --show" + options + " '" + image_ + "'", &output, &error, 60, false) == 0)
      device_ = FXString(output).TrimRight("\n ");
  }
  if (device_.empty()) {
    ADD_FAILURE() << "losetup failed: " << error;
    skipReason_ = "no loop device: " + error;
  }
}

ScopedLoopDevice::~ScopedLoopDevice() {
  if (!device_.empty()) {
    std::string error;
    if (KzProcess::system("losetup -d " + device_, nullptr, &error, 60, false) != 0)
      ADD_FAILURE() << "losetup -d " << device_ << ": " << error;
  }
  if (!folder_.empty()) platform::RemoveTree(folder_);
}

}  // namespace testing_support
