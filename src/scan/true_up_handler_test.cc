// The true-up driver run on its own: what it leaves when it completes, when
// the job is given up, when a thread fails or cannot be started, and that no
// thread of a run outlives it.
#include "scan/true_up_handler.h"

#include <gtest/gtest.h>

#include "platform/harness/job_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/jobs/job_ctrl_client.h"
#include "platform/sim/fault_table.h"
#include "scan/scan_test_fixtures.h"
#include "scan/true_up_test_fixtures.h"
#include "scan/volume_true_up_handler.h"
#include "support/loop_device.h"

namespace {

using namespace true_up_test;
using testing_support::CapturingLog;

// 13 extents of 4 MiB in a 2-byte bitmap.
constexpr const char* kRecord13 = "true|/mnt/v1|/dev/sdz9|ext4|rw|4194304|106496|4096|2|512|512|512|0|1";

class TrueUpHandlerTest : public scan_test::ScanTest {
 protected:
  void SetUp() override {
    job_ = TarvosJobInfo(scan_test::JobArgs("2"));
    ASSERT_EQ(job_.ParseArgs(false), 0);
    job_.SetJobResultsDir(jr_);
    CVolumeTrueUpHandler::s_iNextCollectFileNumber = 1;
  }

  // The volume of the record on the device, with these change and data-only
  // bitmaps.
  std::vector<TrueUpVolInfo> Volumes(const char* record, const std::string& device,
                                     const std::vector<unsigned char>& change,
                                     const std::vector<unsigned char>& data = {}) {
    bitmaps_.reset(new TrueUpVolInfo::VolumeBitmaps);
    const auto put = [&](int index, const std::vector<unsigned char>& bytes) {
      if (bytes.empty()) return;
      unsigned char* copy = TrueUpVolInfo::VolumeBitmaps::Allocate(bytes.size());
      std::copy(bytes.begin(), bytes.end(), copy);
      bitmaps_->Reset(index, copy);
    };
    put(TrueUpVolInfo::VolumeBitmaps::kChange, change);
    put(TrueUpVolInfo::VolumeBitmaps::kDataOnly, data);
    return {TrueUpVolInfo(device, BackupDeviceInfo(record), bitmaps_)};
  }

  CQiError RunTrueUp(std::vector<TrueUpVolInfo>& volumes, unsigned streams, KZJobCtrlClient* jobCtrl = nullptr) {
    CTrueUpHandler trueUp(volumes, job_, 9, streams, jobCtrl);
    CQiError err = trueUp.Initialize();
    return err.IsError() ? err : trueUp.Run();
  }

  std::string TrueUpBitmap() {
    return testing_support::ReadFile(VolumeFolder(jr_ + "/TrueUp", "/mnt/v1") + "/TrueUp.bmp");
  }

  TarvosJobInfo job_;
  TrueUpVolInfo::VolumeBitmapsPtr bitmaps_;
};

// Sets a fault when a log line says a thread is about to start.
class FaultBeforeStart : public CapturingLog {
 public:
  FaultBeforeStart(const std::string& line, const char* call) : CapturingLog(3), line_(line), call_(call) {}
  void Write(int level, const char* function, int line, const std::string& text) override {
    CapturingLog::Write(level, function, line, text);
    if (text.find(line_) != std::string::npos) platform::FaultTable::Set(call_, 5, platform::FaultMode::kError, 1);
  }

 private:
  std::string line_;
  const char* call_;
};

TEST_F(TrueUpHandlerTest, AGivenUpRunLeavesNoBitmapAndNoThread) {
  testing_support::ScopedLoopDevice loop(1ull << 30);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  const size_t threadsBefore = ThreadCount();
  const std::vector<unsigned char> change(32, 0x00);

  // The job is to stop.
  {
    ASSERT_TRUE(blbsim::SetJobQuitFlag(101, true));
    KZJobCtrlClient jobCtrl(101, "localclient");
    std::vector<TrueUpVolInfo> volumes = Volumes(scan_test::kRecordV1, loop.Device(), change);
    CapturingLog log(3);
    CQiError err = RunTrueUp(volumes, 2, &jobCtrl);
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, 995)) << err.AsString();
    EXPECT_EQ(err.GetMessage(), "Operation aborted");
    EXPECT_TRUE(log.Contains("TrueUp Processing aborted or failed!!"));
    EXPECT_FALSE(testing_support::FileExists(VolumeFolder(jr_ + "/TrueUp", "/mnt/v1") + "/TrueUp.bmp"));
    EXPECT_EQ(volumes[0].GetTrueUpBmp(), nullptr);
    EXPECT_EQ(std::vector<unsigned char>(volumes[0].GetDriverBmp(), volumes[0].GetDriverBmp() + 32), change);
    ASSERT_TRUE(blbsim::SetJobQuitFlag(101, false));
  }
  // The index cannot be browsed.
  {
    platform::FaultTable::Set("IdxBrowseClient::Browse", 5);
    std::vector<TrueUpVolInfo> volumes = Volumes(scan_test::kRecordV1, loop.Device(), change);
    CapturingLog log(3);
    CQiError err = RunTrueUp(volumes, 2);
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, 995)) << err.AsString();
    EXPECT_TRUE(log.Contains("Failure while fetching volume extent hashes, error["));
    platform::FaultTable::Clear("IdxBrowseClient::Browse");
  }
  // The second reader cannot be started.
  {
    std::vector<TrueUpVolInfo> volumes = Volumes(scan_test::kRecordV1, loop.Device(), change);
    FaultBeforeStart log("Starting TrueUp reader thread [2] of [2]", "CAlertableEventThread::Start");
    CQiError err = RunTrueUp(volumes, 2);
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, 14)) << err.AsString();
    EXPECT_EQ(err.GetMessage(), "");
    platform::FaultTable::Clear("CAlertableEventThread::Start");
  }
  // A run that completes: without streams or a setting, one reader.
  {
    std::vector<unsigned char> mostlyChanged(32, 0xFF);
    mostlyChanged[0] = 0xF0;
    std::vector<TrueUpVolInfo> volumes = Volumes(scan_test::kRecordV1, loop.Device(), mostlyChanged);
    CapturingLog log(3);
    CQiError err = RunTrueUp(volumes, 0);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_TRUE(log.Contains("Starting TrueUp reader thread [1] of [1]"));
    EXPECT_FALSE(log.Contains("Starting TrueUp reader thread [2]"));
    EXPECT_EQ(Hex(TrueUpBitmap().substr(0, 2)), "0F 00");
  }
  EXPECT_EQ(ThreadCount(), threadsBefore);
}

// A closed call that throws in a reader or in the index thread fails the run
// like any failure of theirs: the exception never ends the process.
TEST_F(TrueUpHandlerTest, AnExceptionInAThreadFailsTheRun) {
  testing_support::ScopedLoopDevice loop(1ull << 30);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  const size_t threadsBefore = ThreadCount();
  for (const char* call : {"CExtBmpIterator::Initialize", "IdxBrowseClient::Browse"}) {
    SCOPED_TRACE(call);
    platform::FaultTable::Set(call, 5, platform::FaultMode::kThrow);
    std::vector<TrueUpVolInfo> volumes =
        Volumes(scan_test::kRecordV1, loop.Device(), std::vector<unsigned char>(32, 0));
    CapturingLog log(3);
    CQiError err = RunTrueUp(volumes, 2);
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, 995)) << err.AsString();
    EXPECT_TRUE(log.Contains(std::string("KzException: Injected fault in ") + call));
    EXPECT_EQ(volumes[0].GetTrueUpBmp(), nullptr);
    platform::FaultTable::Clear(call);
  }
  EXPECT_EQ(ThreadCount(), threadsBefore);
}

// The reader count comes from the caller's stream number or a setting, any
// value: each reader is a thread with a piece of every bitmap.
TEST_F(TrueUpHandlerTest, TheReaderCountIsBounded) {
  const std::vector<unsigned char> change(2, 0x00);
  {
    std::vector<TrueUpVolInfo> volumes = Volumes(kRecord13, "/dev/null", change);
    CTrueUpHandler trueUp(volumes, job_, 9, 2147483647u, nullptr);
    ASSERT_FALSE(trueUp.Initialize().IsError());
    EXPECT_EQ(trueUp.GetReaderCount(), 256u);
  }
  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nBlockLevelTrueUpScanReaders", "4294967295"));
  std::vector<TrueUpVolInfo> volumes = Volumes(kRecord13, "/dev/null", change);
  CTrueUpHandler trueUp(volumes, job_, 9, 3, nullptr);
  ASSERT_FALSE(trueUp.Initialize().IsError());
  EXPECT_EQ(trueUp.GetReaderCount(), 256u);
}

// Without the data-only bitmap the inverted change bitmap marks the spare
// bits past the last extent; no reader is asked for them.
TEST_F(TrueUpHandlerTest, NoExtentPastTheVolumeIsRead) {
  testing_support::ScopedLoopDevice loop(13 * kExtentBytes);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nBlockLevelTrueUpDisableDataBlocks", "1"));
  std::vector<TrueUpVolInfo> volumes = Volumes(kRecord13, loop.Device(), {0x00, 0x00}, {0x01, 0x00});
  CQiError err = RunTrueUp(volumes, 2);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(Hex(TrueUpBitmap()), "FF 1F");
  for (const char* collect : {"CollectT_1.kzf", "CollectT_2.kzf"}) {
    const std::string lines = testing_support::ReadFile(jr_ + "/TrueUp/" + collect);
    EXPECT_EQ(lines.find("0000000D|"), std::string::npos) << lines;
  }
  EXPECT_EQ(testing_support::ReadFile(jr_ + "/TrueUp/CollectT_2.kzf").size(), 5u * 42u);
}

}  // namespace
