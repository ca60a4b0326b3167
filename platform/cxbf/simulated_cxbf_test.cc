#include "platform/cxbf/simulated_cxbf.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "platform/cxbf/cxbf_control.h"
#include "platform/cxbf/kz_volume.h"
#include "platform/harness/cxbf_harness.h"
#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

namespace {

using testing_support::ScopedStateDir;

std::string MakeImage(const ScopedStateDir& state, const std::string& name, off_t size) {
  const std::string path = state.Sub(name);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::ftruncate(fd, size), 0);
  ::close(fd);
  return path;
}

void WriteAt(const std::string& path, off_t offset) {
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const std::string data(4096, 'w');
  ASSERT_EQ(::pwrite(fd, data.data(), data.size(), offset), static_cast<ssize_t>(data.size()));
  ::close(fd);
}

template <class T>
T At(const void* record, size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const unsigned char*>(record) + offset, sizeof value);
  return value;
}

template <class T>
void SetAt(void* record, size_t offset, T value) {
  std::memcpy(static_cast<unsigned char*>(record) + offset, &value, sizeof value);
}

TEST(SimulatedCxbf, AnswersForAPseudoDeviceThroughTheVolumeClass) {
  ScopedStateDir state;
  const std::string image = MakeImage(state, "disk.img", 64 << 20);
  const std::string pseudo = "/dev/cxbf/cxbf0";
  ASSERT_FALSE(blbsim::CxbfAddDevice(pseudo, image).IsError());
  // Unloaded, no pseudo-device exists.
  EXPECT_FALSE(KZVolume::isCXBFDevice(pseudo));
  ASSERT_TRUE(blbsim::SetCxbfLoaded(true));
  EXPECT_TRUE(KZVolume::isCXBFDevice(pseudo));
  EXPECT_FALSE(KZVolume::isCXBFDevice(image));
  EXPECT_EQ(KZVolume::getVolName(pseudo), "cxbf0");
  // Names and paths are the driver's keys.
  EXPECT_TRUE(blbsim::CxbfAddDevice("/dev/other/cxbf0", image).IsError());
  EXPECT_TRUE(blbsim::CxbfAddDevice("relative", image).IsError());

  KZVolumeUnix volume(KZVolumeUnix::kControlDevice);
  KZVolumeInformation information;
  EXPECT_FALSE(volume.getVolumeInformation(&information));  // nothing selected
  EXPECT_FALSE(volume.selectVolume("nosuch"));
  ASSERT_TRUE(volume.selectVolume("cxbf0"));
  ASSERT_TRUE(volume.getVolumeInformation(&information));
  EXPECT_EQ(At<uint64_t>(information.bytes, 8), 4u << 20);
  EXPECT_EQ(At<uint64_t>(information.bytes, 16), 131072u);
  EXPECT_EQ(At<uint64_t>(information.bytes, 32), 2u);
  EXPECT_STREQ(reinterpret_cast<const char*>(information.bytes + 112), image.c_str());
  EXPECT_EQ(volume.GetFsBlockSize(), 4096u);
  ASSERT_TRUE(blbsim::SetCxbfFsBlockSize(1024));
  EXPECT_EQ(volume.GetFsBlockSize(), 1024u);

  // Writes to the real device are the pseudo-device's changed extents.
  WriteAt(image, 12 << 20);
  unsigned char bitmap[3] = {0xEE, 0xEE, 0xEE};
  ASSERT_TRUE(volume.getBitmap(0, bitmap, 3, false));
  EXPECT_EQ(bitmap[0], 0x08);
  EXPECT_EQ(bitmap[1], 0x00);
  EXPECT_EQ(bitmap[2], 0x00);  // past the device's extents
  ASSERT_TRUE(volume.getAndClearBitmap(0, bitmap, 2, true));
  EXPECT_EQ(bitmap[0], 0x08);
  ASSERT_FALSE(blbsim::CxbfMarkExtents(pseudo, {9}).IsError());
  WriteAt(image, 40 << 20);
  ASSERT_TRUE(volume.getBitmap(0, bitmap, 2, false));
  EXPECT_EQ(bitmap[0], 0x00);
  EXPECT_EQ(bitmap[1], 0x06);
  ASSERT_TRUE(volume.clearBitmap(0));
  ASSERT_TRUE(volume.getBitmap(0, bitmap, 2, false));
  EXPECT_EQ(bitmap[1], 0x00);

  platform::FaultTable::Set("KZVolumeUnix::getBitmap", 5, false, 1);
  EXPECT_FALSE(volume.getBitmap(0, bitmap, 2, false));
  KZVolumeUnix elsewhere("/dev/other/ctrl");
  EXPECT_FALSE(elsewhere.selectVolume("cxbf0"));
  ASSERT_TRUE(blbsim::SetCxbfLoaded(false));
  EXPECT_FALSE(volume.getBitmap(0, bitmap, 2, false));
}

TEST(SimulatedCxbf, ControlDeviceListsDevicesAndStopsAndDeletesSnapshots) {
  ScopedStateDir state;
  const std::string image = MakeImage(state, "disk.img", 4096);
  EXPECT_EQ(platform::CxbfOpen(KZVolumeUnix::kControlDevice, O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
  ASSERT_TRUE(blbsim::SetCxbfLoaded(true));
  for (int i = 0; i < 258; ++i)
    ASSERT_FALSE(blbsim::CxbfAddDevice("/dev/cxbf/d" + std::to_string(i), image).IsError()) << i;
  std::vector<uint32_t> sminors;
  for (uint32_t s = 1000; s < 1300; ++s) sminors.push_back(s);
  ASSERT_FALSE(blbsim::CxbfAddSnapshots("/dev/cxbf/d1", sminors).IsError());
  EXPECT_TRUE(blbsim::CxbfAddSnapshots("/dev/cxbf/d2", {1000}).IsError());  // taken

  const int fd = platform::CxbfOpen(KZVolumeUnix::kControlDevice, O_RDWR);
  ASSERT_GE(fd, 0);
  std::vector<unsigned char> list(1032, 0);
  EXPECT_EQ(platform::CxbfIoctl(fd, 0xC4084306, list.data()), -1);  // word 0 must be 1
  EXPECT_EQ(errno, EINVAL);
  SetAt<uint32_t>(list.data(), 0, 1);
  ASSERT_EQ(platform::CxbfIoctl(fd, 0xC4084306, list.data()), 0);
  EXPECT_EQ(At<uint32_t>(list.data(), 4), 258u);  // the true count; 256 slots filled
  EXPECT_EQ(At<uint32_t>(list.data(), 8 + 4 * 255), 255u);

  std::vector<unsigned char> info(6408, 0);
  SetAt<uint32_t>(info.data(), 0, 1);
  ASSERT_EQ(platform::CxbfIoctl(fd, 0xD9084307, info.data()), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(info.data() + 63), "d1");
  EXPECT_EQ(At<int32_t>(info.data(), 2248), 300);
  EXPECT_EQ(At<uint32_t>(info.data(), 1224 + 4 * 255), 1255u);
  SetAt<uint32_t>(info.data(), 0, 999);
  EXPECT_EQ(platform::CxbfIoctl(fd, 0xD9084307, info.data()), -1);

  uint32_t sminor = 1000;
  EXPECT_EQ(platform::CxbfIoctl(fd, 0x40044303, &sminor), -1);  // not stopped yet
  EXPECT_EQ(errno, EBUSY);
  platform::FaultTable::Set("CXBF_STOP_SNAP", 5, false, 1);
  EXPECT_EQ(platform::CxbfIoctl(fd, 0x40044305, &sminor), -1);
  EXPECT_EQ(errno, 5);
  ASSERT_EQ(platform::CxbfIoctl(fd, 0x40044305, &sminor), 0);
  ASSERT_EQ(platform::CxbfIoctl(fd, 0x40044303, &sminor), 0);
  EXPECT_EQ(platform::CxbfIoctl(fd, 0x40044303, &sminor), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(platform::CxbfIoctl(fd, 0x1234, &sminor), -1);
  EXPECT_EQ(errno, ENOTTY);
  ASSERT_EQ(platform::CxbfClose(fd), 0);
  EXPECT_EQ(platform::CxbfIoctl(fd, 0xC4084306, list.data()), -1);
  EXPECT_EQ(errno, EBADF);

  const std::vector<std::string> expected{"CXBF_GET_DEVICE_LIST", "CXBF_GET_DEVICE_LIST", "CXBF_GET_INFO 1",
                                          "CXBF_GET_INFO 999",    "CXBF_DELETE_SNAP 1000", "CXBF_STOP_SNAP 1000",
                                          "CXBF_STOP_SNAP 1000",  "CXBF_DELETE_SNAP 1000", "CXBF_DELETE_SNAP 1000",
                                          "CXBF_UNKNOWN 0x1234"};
  EXPECT_EQ(blbsim::CxbfIoctlLog(), expected);
  std::vector<platform::CxbfDevice> devices;
  ASSERT_FALSE(blbsim::CxbfDevices(devices).IsError());
  ASSERT_EQ(devices.size(), 258u);
  EXPECT_EQ(devices[1].snapshots.size(), 299u);
  EXPECT_EQ(devices[1].snapshots.front().sminor, 1001u);
}

}  // namespace
