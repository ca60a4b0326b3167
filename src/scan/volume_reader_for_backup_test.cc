// The backup's reader of a collect file over a shared, opened device reader:
// the extents it lists come out in order with the digests md5sum gives, in
// every thread mode and with read-ahead; failures come after the items
// before them; Stop from another thread ends a waiting reader.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sim/fault_table.h"
#include "scan/reader_test_fixtures.h"
#include "scan/volume_reader_for_backup.h"

namespace {

using reader_test::ExtentMd5s;
using reader_test::kExtent;
using reader_test::kMiB;
using reader_test::RandomDevice;
using reader_test::Record;
using reader_test::WriteCollect;

struct ReaderSetup {
  const char* name;
  DeviceHashComputeMode mode;
  bool readAhead;
};
const ReaderSetup kSetups[] = {{"mode 0", HC_NO_THREAD, false},
                         {"mode 1", HC_SINGLE_THREAD, false},
                         {"mode 2", HC_READ_AND_HASH_THREADS, false},
                         {"mode 0 read-ahead", HC_NO_THREAD, true},
                         {"mode 1 read-ahead", HC_SINGLE_THREAD, true},
                         {"mode 2 read-ahead", HC_READ_AND_HASH_THREADS, true}};

CVolumeReaderForBackup::DeviceInfo Info(const std::string& device, const BackupDeviceInfo& record,
                                        const boost::shared_ptr<KzDeviceReader>& reader, const std::string& collect,
                                        DeviceHashComputeMode mode, unsigned long long readAhead = 8) {
  CVolumeReaderForBackup::DeviceInfo info;
  info.sSnapDevice = device;
  info.oDeviceInfo = record;
  info.pDeviceReader = reader;
  info.eHashMode = mode;
  info.sCollectFile = collect;
  info.nReadAheadCount = readAhead;
  return info;
}

CQiError Initialize(CVolumeReaderForBackup& reader, CVolumeReaderForBackup::DeviceInfo& info, bool readAhead) {
  return readAhead ? reader.Initialize3(info, 0) : reader.Initialize(info);
}

// Every item up to the end or a failure, as "id:hash", then "end" or the
// failure's code and message.
std::vector<std::string> Drain(CVolumeReaderForBackup& reader) {
  std::vector<std::string> out;
  for (;;) {
    ExtentHashItem* raw = nullptr;
    CQiError err = reader.GetNextExtent(raw);
    std::unique_ptr<ExtentHashItem> item(raw);
    if (err.IsError()) {
      out.push_back(std::to_string(FXErrorUtil::GetCode(err)) + " " + err.GetMessage());
      return out;
    }
    if (!item) {
      out.push_back("end");
      return out;
    }
    out.push_back(std::to_string(item->GetExtentId()) + ":" + item->GetExtentHash());
  }
}

TEST(CVolumeReaderForBackup, YieldsTheListedExtentsWithTheirDigestsInEveryModeAndFromAStartLine) {
  testing_support::ScopedStateDir state;
  RandomDevice device(128 * kMiB);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(device);
  const BackupDeviceInfo record = Record(device.Device(), 128 * kMiB);
  ASSERT_EQ(record.Serialize(), "true|/mnt/v1|" + device.Device() + "|ext4|rw|4194304|262144|4096|4|512|512|512|0|1");
  const std::vector<std::string> md5 = ExtentMd5s(device.Image(), 10);
  const std::string collect = state.Sub("CollectInc_1.kzf");
  WriteCollect(collect, {0, 3, 9});
  const auto shared = reader_test::OpenReader(device.Device(), record);
  const std::vector<std::string> all = {"0:" + md5[0], "3:" + md5[3], "9:" + md5[9], "end"};
  for (const ReaderSetup& setup : kSetups) {
    CVolumeReaderForBackup reader;
    auto info = Info(device.Device(), record, shared, collect, setup.mode);
    ASSERT_FALSE(Initialize(reader, info, setup.readAhead).IsError()) << setup.name;
    EXPECT_EQ(Drain(reader), all) << setup.name;
    EXPECT_EQ(Drain(reader), std::vector<std::string>{"end"}) << setup.name;

    CVolumeReaderForBackup resumed;
    info.nStartPos = 2;
    ASSERT_FALSE(Initialize(resumed, info, setup.readAhead).IsError()) << setup.name;
    EXPECT_EQ(Drain(resumed), (std::vector<std::string>{"9:" + md5[9], "end"})) << setup.name;
  }
  // The agent's device reader stays open for its next collect file.
  char sector[512];
  unsigned long read = 0;
  EXPECT_FALSE(shared->Read(0, 1, sector, read).IsError());
}

TEST(CVolumeReaderForBackup, APartialLastExtentHashesWithZerosAndAnExtentPastTheDeviceFailsAfterTheOthers) {
  testing_support::ScopedStateDir state;
  RandomDevice device(10 * kMiB);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(device);
  const BackupDeviceInfo record = Record(device.Device(), 10 * kMiB);
  ASSERT_EQ(record.GetTotalBlocks(), 20480u);
  ASSERT_EQ(record.GetBitMapSize(), 1u);
  const std::vector<std::string> md5 = ExtentMd5s(device.Image(), 2);
  const std::string last = reader_test::Md5Of("dd if=" + device.Image() +
                                              " bs=4M skip=2 2>/dev/null; head -c 2097152 /dev/zero");
  const std::string whole = state.Sub("whole.kzf"), past = state.Sub("past.kzf");
  WriteCollect(whole, {2});
  WriteCollect(past, {0, 1, 2, 3, 4});
  const auto shared = reader_test::OpenReader(device.Device(), record);
  for (const ReaderSetup& setup : kSetups) {
    CVolumeReaderForBackup alone, after;
    auto info = Info(device.Device(), record, shared, whole, setup.mode, 1);
    ASSERT_FALSE(Initialize(alone, info, setup.readAhead).IsError());
    EXPECT_EQ(Drain(alone), (std::vector<std::string>{"2:" + last, "end"})) << setup.name;

    info.sCollectFile = past;
    ASSERT_FALSE(Initialize(after, info, setup.readAhead).IsError());
    const std::vector<std::string> expected = {"0:" + md5[0], "1:" + md5[1], "2:" + last,
                                               "259 Accessing out of boundary"};
    EXPECT_EQ(Drain(after), expected) << setup.name;
    EXPECT_EQ(Drain(after), std::vector<std::string>{"259 Accessing out of boundary"}) << setup.name;
  }
}

TEST(CVolumeReaderForBackup, WithoutASuccessfulInitializationNothingIsRead) {
  testing_support::ScopedStateDir state;
  RandomDevice device(4 * kMiB);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(device);
  const BackupDeviceInfo record = Record(device.Device(), 4 * kMiB);
  const std::string collect = state.Sub("c.kzf");
  WriteCollect(collect, {0});
  CVolumeReaderForBackup never;
  never.Stop();
  EXPECT_EQ(Drain(never), std::vector<std::string>{"774 Volume reader not initialized"});

  // A missing collect file fails the initialization, and the reader stays unusable.
  CVolumeReaderForBackup failed;
  auto info = Info(device.Device(), record, reader_test::OpenReader(device.Device(), record), state.Sub("none"),
                   HC_READ_AND_HASH_THREADS);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(failed.Initialize(info), 2));
  EXPECT_EQ(Drain(failed), std::vector<std::string>{"774 Volume reader not initialized"});
  info.sCollectFile = collect;
  info.eHashMode = static_cast<DeviceHashComputeMode>(3);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(failed.Initialize3(info, 0), 22));
  EXPECT_EQ(Drain(failed), std::vector<std::string>{"774 Volume reader not initialized"});

  // No device reader: the extent fails instead of the process.
  info.eHashMode = HC_NO_THREAD;
  info.pDeviceReader.reset();
  ASSERT_FALSE(failed.Initialize(info).IsError());
  const std::vector<std::string> out = Drain(failed);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].substr(0, 4), "774 ");
}

// The hashing library's calls throw where the agent's may: the reader's call
// fails, the exception does not reach the agent.
TEST(CVolumeReaderForBackup, AClosedCallThatThrowsFailsTheCall) {
  testing_support::ScopedStateDir state;
  const std::string collect = state.Sub("c.kzf");
  WriteCollect(collect, {0});
  // No extent is read: no device is needed.
  auto info = Info("/dev/null", Record("/dev/null", 4 * kMiB), nullptr, collect, HC_NO_THREAD);
  CVolumeReaderForBackup reader;
  platform::FaultTable::Set("CExtCollectIterator::Initialize", 5, platform::FaultMode::kThrow, 1);
  CQiError err;
  EXPECT_NO_THROW(err = reader.Initialize(info));
  EXPECT_EQ(err.GetMessage(), "Injected fault in CExtCollectIterator::Initialize");
  EXPECT_EQ(Drain(reader), std::vector<std::string>{"774 Volume reader not initialized"});

  ASSERT_FALSE(reader.Initialize(info).IsError());
  platform::FaultTable::Set("CHashReadHandler::GetNextExtent", 5, platform::FaultMode::kThrow, 1);
  std::vector<std::string> out;
  EXPECT_NO_THROW(out = Drain(reader));
  EXPECT_EQ(out, std::vector<std::string>{"-1 Injected fault in CHashReadHandler::GetNextExtent"});
}

TEST(CVolumeReaderForBackup, OpenCollectResumesAfterTheNumberThatBeginsTheLastLine) {
  testing_support::ScopedStateDir state;
  CVolumeReaderForBackup reader;
  const std::string path = state.Sub("restart");
  unsigned long long start = 99;
  ASSERT_FALSE(reader.OpenCollect(path, start).IsError());
  EXPECT_EQ(start, 0u);
  const std::string longLine = "5|" + std::string(298, 'y') + "\n";
  const std::pair<std::string, unsigned long long> cases[] = {
      {"", 0}, {"1|a\n3|b\n41|x\n", 42}, {"7", 8}, {"1|a\n" + longLine, 6}, {longLine + longLine, 6}};
  for (const auto& [contents, expected] : cases) {
    testing_support::WriteFile(path, contents);
    start = 99;
    ASSERT_FALSE(reader.OpenCollect(path, start).IsError()) << contents;
    EXPECT_EQ(start, expected) << contents;
  }
}

size_t ThreadCount() {
  size_t count = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  while (dirent* entry = ::readdir(tasks)) count += entry->d_name[0] != '.';
  ::closedir(tasks);
  return count;
}

TEST(CVolumeReaderForBackup, StopFromAnotherThreadEndsAWaitingReaderAndLeavesNoThread) {
  testing_support::ScopedStateDir state;
  testing_support::ScopedLoopDevice device(1024 * kMiB);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(device);
  const BackupDeviceInfo record = Record(device.Device(), 1024 * kMiB);
  std::vector<unsigned long long> extents(256);
  for (unsigned long long n = 0; n < extents.size(); ++n) extents[n] = n;
  const std::string collect = state.Sub("c.kzf");
  WriteCollect(collect, extents);
  const size_t threadsBefore = ThreadCount();
  {
    auto reader = std::make_unique<CVolumeReaderForBackup>();
    auto info = Info(device.Device(), record, reader_test::OpenReader(device.Device(), record), collect,
                     HC_READ_AND_HASH_THREADS, 32);
    ASSERT_FALSE(reader->Initialize(info).IsError());
    std::atomic<int> items{0};
    std::vector<std::string> out;
    std::thread consumer([&] {
      for (;;) {
        ExtentHashItem* raw = nullptr;
        CQiError err = reader->GetNextExtent(raw);
        std::unique_ptr<ExtentHashItem> item(raw);
        if (err.IsError() || !item) {
          out = {err.IsError() ? std::to_string(FXErrorUtil::GetCode(err)) : "end"};
          return;
        }
        ++items;
      }
    });
    while (items == 0) std::this_thread::yield();
    reader->Stop();
    consumer.join();
    if (items < 256) {
      EXPECT_EQ(out, std::vector<std::string>{"995"});
    }
    EXPECT_EQ(Drain(*reader).back().substr(0, 4), "995 ");
  }
  EXPECT_EQ(ThreadCount(), threadsBefore);
}

TEST(CVolumeReaderForBackup, ReadersOfTwoCollectFilesShareOneDeviceReaderOnTwoThreads) {
  testing_support::ScopedStateDir state;
  RandomDevice device(128 * kMiB, 7);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(device);
  const BackupDeviceInfo record = Record(device.Device(), 128 * kMiB);
  const std::vector<std::string> md5 = ExtentMd5s(device.Image(), 32);
  std::vector<unsigned long long> even, odd;
  for (unsigned long long n = 0; n < 32; ++n) (n % 2 == 0 ? even : odd).push_back(n);
  WriteCollect(state.Sub("even.kzf"), even);
  WriteCollect(state.Sub("odd.kzf"), odd);
  const auto shared = reader_test::OpenReader(device.Device(), record);
  std::vector<std::string> results[2];
  std::vector<std::thread> streams;
  for (int s = 0; s < 2; ++s)
    streams.emplace_back([&, s] {
      CVolumeReaderForBackup reader;
      auto info = Info(device.Device(), record, shared, state.Sub(s == 0 ? "even.kzf" : "odd.kzf"),
                       s == 0 ? HC_READ_AND_HASH_THREADS : HC_SINGLE_THREAD, 4);
      if (!Initialize(reader, info, s == 1).IsError()) results[s] = Drain(reader);
    });
  for (std::thread& stream : streams) stream.join();
  for (int s = 0; s < 2; ++s) {
    std::vector<std::string> expected;
    for (unsigned long long n : s == 0 ? even : odd) expected.push_back(std::to_string(n) + ":" + md5[n]);
    expected.push_back("end");
    EXPECT_EQ(results[s], expected) << s;
  }
}

}  // namespace
