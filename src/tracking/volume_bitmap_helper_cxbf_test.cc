#include "tracking/volume_bitmap_helper_cxbf.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/cxbf/cxbf_control.h"
#include "platform/harness/cxbf_harness.h"
#include "platform/sim/fault_table.h"
#include "platform/snapshot/sm_vol_block.h"
#include "support/scratch_device.h"
#include "support/test_platform.h"

namespace {

using testing_support::CapturingLog;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScopedStateDir;
using testing_support::ScratchDevice;

const std::string kPseudo = "/dev/cxbf/cxbf0";

// The CXBF driver loaded with one pseudo-device over a 64 MiB device.
struct CxbfDevice {
  ScopedStateDir state;
  ScratchDevice device{state};
  VolumeBitMapHelper_CXBF& strategy = *VolumeBitMapHelper_CXBF::GetVolumeHandler();

  CxbfDevice() {
    EXPECT_TRUE(blbsim::SetCxbfLoaded(true));
    EXPECT_FALSE(blbsim::CxbfAddDevice(kPseudo, device.Path(), 4 << 20).IsError());
  }
  SMVolBlock Volume() const {
    SMVolBlock volume;
    volume.sDevice = kPseudo;
    volume.sVolume = "/mnt/c";
    return volume;
  }
  CQiError Step(bool full, bool preSnap, const std::string& file, unsigned long size = 2) {
    SMVolBlock volume = Volume();
    return full ? strategy.FullBitMapFormalities(volume, file, size, 4 << 20, preSnap)
                : strategy.IncrBitMapFormalities(volume, file, size, 4 << 20, preSnap);
  }
};

TEST(VolumeBitMapHelperCXBF, GeometryAndBitmapStepsComeFromThePseudoDevice) {
  CxbfDevice cxbf;
  VolumeInfo info;
  info.LogSectorSz = 99;
  ASSERT_FALSE(cxbf.strategy.GetVolumeInfo(kPseudo, info).IsError());
  EXPECT_EQ(info.ExtentSize, 4194304u);
  EXPECT_EQ(info.TotalBlocks, 131072u);
  EXPECT_EQ(info.BitMapSize, 2u);
  EXPECT_EQ(info.FSBlockSize, 4096u);
  EXPECT_EQ(info.LogSectorSz + info.PhySectorSz + info.IOMinSz + info.IOOptimalSz, 0u);
  std::string real;
  ASSERT_FALSE(cxbf.strategy.GetUnderlyingDevice(kPseudo, real).IsError());
  EXPECT_EQ(real, cxbf.device.Path());
  CQiError unknown = cxbf.strategy.GetVolumeInfo("/dev/cxbf/nosuch", info);
  EXPECT_EQ(FXErrorUtil::GetCode(unknown), -1);
  EXPECT_EQ(unknown.GetMessage(), "Failed to get volume info for device=[/dev/cxbf/nosuch]");
  EXPECT_TRUE(cxbf.strategy.GetUnderlyingDevice("/dev/cxbf/nosuch", real).IsError());

  // Incremental: cleared before the snapshot, only read after it; the file
  // gathers both.
  const std::string file = cxbf.state.Sub("job/ID.bmp");
  ::mkdir(cxbf.state.Sub("job").c_str(), 0755);
  cxbf.device.Write(12 << 20);
  ASSERT_FALSE(cxbf.Step(false, true, file).IsError());
  EXPECT_EQ(ReadFile(file), std::string("\x08\x00", 2));
  cxbf.device.Write(40 << 20);
  ASSERT_FALSE(cxbf.Step(false, false, file).IsError());
  EXPECT_EQ(ReadFile(file), std::string("\x08\x04", 2));
  unsigned char left[2] = {};
  ASSERT_FALSE(cxbf.strategy.GetBitMap(kPseudo, left, 2, false).IsError());
  EXPECT_EQ(left[1], 0x04);

  // Full: the driver cleared before the snapshot, all ones after it.
  ASSERT_FALSE(cxbf.Step(true, true, cxbf.state.Sub("job/unused.bmp")).IsError());
  EXPECT_FALSE(FileExists(cxbf.state.Sub("job/unused.bmp")));
  ASSERT_FALSE(cxbf.strategy.GetBitMap(kPseudo, left, 2, false).IsError());
  EXPECT_EQ(left[1], 0x00);
  const std::string fullFile = cxbf.state.Sub("job/full.bmp");
  ASSERT_FALSE(cxbf.Step(true, false, fullFile, 3).IsError());
  EXPECT_EQ(ReadFile(fullFile), "\xFF\xFF\xFF");

  // A driver that cannot be read leaves the file as it was; without a file
  // nothing is written and errno 2 comes back. A failed clear is only logged.
  platform::FaultTable::Set("KZVolumeUnix::getAndClearBitmap", 5, false, 2);
  ASSERT_FALSE(cxbf.Step(false, true, file).IsError());
  EXPECT_EQ(ReadFile(file), std::string("\x08\x04", 2));
  const std::string missing = cxbf.state.Sub("job/missing.bmp");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(cxbf.Step(false, true, missing), 2));
  EXPECT_FALSE(FileExists(missing));
  platform::FaultTable::Set("KZVolumeUnix::clearBitmap", 5, false, 1);
  CapturingLog log;
  EXPECT_FALSE(cxbf.Step(true, true, fullFile).IsError());
  EXPECT_TRUE(log.Contains("Failed to clear bitmap for device=[/dev/cxbf/cxbf0]"));
}

TEST(VolumeBitMapHelperCXBF, RemovesTheSnapshotsThatStopAndLeavesTheDeviceTracked) {
  CxbfDevice cxbf;
  ASSERT_FALSE(blbsim::CxbfAddDevice("/dev/cxbf/other", cxbf.device.Path()).IsError());
  ASSERT_FALSE(blbsim::CxbfAddSnapshots("/dev/cxbf/other", {7}).IsError());
  ASSERT_FALSE(blbsim::CxbfAddSnapshots(kPseudo, {3, 4}).IsError());
  platform::FaultTable::Set("CXBF_STOP_SNAP", 5, false, 1);
  CapturingLog log;
  ASSERT_FALSE(cxbf.strategy.DeleteSnapAndDetachDevice(kPseudo, true).IsError());
  EXPECT_TRUE(log.Contains("ioctl CXBF_STOP_SNAP failed for bminor[0] sminor[3]"));
  const std::vector<std::string> requests = blbsim::CxbfIoctlLog();
  ASSERT_GE(requests.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(requests.end() - 3, requests.end()),
            (std::vector<std::string>{"CXBF_STOP_SNAP 3", "CXBF_STOP_SNAP 4", "CXBF_DELETE_SNAP 4"}));
  std::vector<platform::CxbfDevice> devices;
  ASSERT_FALSE(blbsim::CxbfDevices(devices).IsError());
  ASSERT_EQ(devices.size(), 2u);
  ASSERT_EQ(devices[0].snapshots.size(), 1u);
  EXPECT_EQ(devices[0].snapshots[0].sminor, 3u);
  EXPECT_EQ(devices[1].snapshots.size(), 1u);
  EXPECT_TRUE(KZVolume::isCXBFDevice(kPseudo));
  EXPECT_FALSE(cxbf.strategy.AttachDevice("/mnt/c", kPseudo, 4 << 20).IsError());
  EXPECT_FALSE(cxbf.strategy.DetachDevice(kPseudo).IsError());

  // A device the driver does not list is no error, and asks for nothing more.
  const size_t before = blbsim::CxbfIoctlLog().size();
  ASSERT_FALSE(cxbf.strategy.DeleteSnapAndDetachDevice("/dev/cxbf/nosuch", false).IsError());
  EXPECT_EQ(blbsim::CxbfIoctlLog().size(), before + 3);  // the list and two devices

  platform::FaultTable::Set("CXBF_GET_INFO", 5, false, 1);
  CQiError failed = cxbf.strategy.DeleteSnapAndDetachDevice(kPseudo, false);
  EXPECT_EQ(failed.GetMessage(), "ioctl CXBF_GET_INFO failed with error=Input/output error");
  ASSERT_TRUE(blbsim::SetCxbfLoaded(false));
  failed = cxbf.strategy.DeleteSnapAndDetachDevice(kPseudo, false);
  EXPECT_EQ(FXErrorUtil::GetCode(failed), -1);
  EXPECT_EQ(failed.GetMessage(), "Failed to open [/dev/cxbf/ctrl] with error[No such file or directory]");
}

// A control device of the test's own: records each request with the first
// word of its record, answers with oversized counts and a name that fills
// its record to the end.
class RecordingControl : public platform::CxbfControlBackend {
 public:
  struct Request {
    unsigned long number;
    uint32_t word0;
  };
  int Open(const std::string& path, int) override { return path == "/dev/cxbf/ctrl" ? 42 : -1; }
  int Close(int) override { return 0; }
  int Ioctl(int fd, unsigned long request, void* argument) override {
    EXPECT_EQ(fd, 42);
    unsigned char* record = static_cast<unsigned char*>(argument);
    uint32_t word0;
    std::memcpy(&word0, record, 4);
    requests.push_back({request, word0});
    if (request == 0xC4084306) {
      const uint32_t count = 300;
      std::memcpy(record + 4, &count, 4);
      for (uint32_t i = 0; i < 256; ++i) std::memcpy(record + 8 + 4 * i, &i, 4);
    } else if (request == 0xD9084307) {
      std::memset(record + 63, 'x', 6408 - 63);  // no NUL before the record ends
      if (word0 == 9) {
        std::memset(record + 1224, 0, 2248 - 1224);
        std::memcpy(record + 63, "cxbf0", 6);
        for (uint32_t i = 0; i < 256; ++i) std::memcpy(record + 1224 + 4 * i, &i, 4);
        const int32_t snapshots = 1000;
        std::memcpy(record + 2248, &snapshots, 4);
      }
    }
    return 0;
  }
  std::vector<Request> requests;
};

TEST(VolumeBitMapHelperCXBF, SpeaksTheDriversRecordsAndClampsCountsBeyondThem) {
  ScopedStateDir state;
  RecordingControl control;
  platform::CxbfControl::Scope use(control);
  CapturingLog log;
  ASSERT_FALSE(VolumeBitMapHelper_CXBF::GetVolumeHandler()->DeleteSnapAndDetachDevice(kPseudo, true).IsError());
  ASSERT_EQ(control.requests.size(), 1u + 10u + 2u * 256u);
  EXPECT_EQ(control.requests[0].number, 0xC4084306u);
  EXPECT_EQ(control.requests[0].word0, 1u);
  EXPECT_EQ(control.requests[1].number, 0xD9084307u);
  EXPECT_EQ(control.requests[1].word0, 0u);
  EXPECT_EQ(control.requests[10].word0, 9u);  // found: the search stops
  EXPECT_EQ(control.requests[11].number, 0x40044305u);
  EXPECT_EQ(control.requests[12].number, 0x40044303u);
  EXPECT_EQ(control.requests.back().word0, 255u);
  EXPECT_TRUE(log.Contains("reports 300 pseudo-devices, only 256 fit"));
  EXPECT_TRUE(log.Contains("reports 1000 snapshots, only 256 fit"));
}

}  // namespace

TEST(VolumeBitMapHelperCXBF, AnEarlierJobBitmapOfAnotherSizeMakesTheIncrementalFull) {
  CxbfDevice cxbf;
  const std::string file = cxbf.state.Sub("job/ID.bmp");
  ::mkdir(cxbf.state.Sub("job").c_str(), 0755);
  testing_support::WriteFile(file, "\x01");
  cxbf.device.Write(12 << 20);
  SMVolBlock volume = cxbf.Volume();
  ASSERT_FALSE(cxbf.strategy.IncrBitMapFormalities(volume, file, 2, 4 << 20, true).IsError());
  EXPECT_TRUE(volume.bForceFull);
  ASSERT_FALSE(cxbf.strategy.FullBitMapFormalities(volume, file, 2, 4 << 20, false).IsError());
  EXPECT_EQ(ReadFile(file), "\xFF\xFF");
}
