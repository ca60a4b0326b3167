#pragma once
// What the scan's tests share: job 101 of subclient 2/7 with its job-results
// directory, its device records and driver bitmaps written the way the
// snapshot leaves them, snapshot stand-ins, and the scan run in process.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <list>
#include <string>
#include <vector>

#include "blocklevel/blocklevel.h"
#include "devconfig/kz_device_config_handler.h"
#include "platform/config/agent_config.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/services_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/sim/fs_util.h"
#include "records/block_device_config.h"
#include "scan/collect_file_manager.h"
#include "scan/config_handler_source.h"
#include "support/test_platform.h"
#include "tracking/volume_bitmap_helper.h"

namespace scan_test {

// 256 extents of 4 MiB, a 32-byte bitmap.
constexpr const char* kRecordV1 = "true|/mnt/v1|/dev/sdz9|ext4|rw|4194304|2097152|4096|32|512|512|512|0|1";
// 100 extents of 4 MiB, a 13-byte bitmap with four spare bits.
constexpr const char* kRecordV1Of100 = "true|/mnt/v1|/dev/sdz9|ext4|rw|4194304|819200|4096|13|512|512|512|0|1";

// Reads each volume's change bitmap from the raw file the snapshot wrote for
// it in the job-results directory, as the platform's own handler does.
class BitmapFileHandler : public KzDeviceConfigHandler {
 public:
  using KzDeviceConfigHandler::KzDeviceConfigHandler;
  CQiError GetBitMapInfo(const std::string& volume, unsigned char*& bitmap, unsigned long& size,
                         unsigned char& flag) override {
    BackupDeviceInfo device;
    CQiError err = GetDeviceConfigForVolume(volume, device, "");
    if (err.IsError()) return err;
    size = device.GetBitMapSize();
    flag = 0;
    std::string path;
    VolumeBitMapHelper::GenerateBitmapFileName(volume, m_oJobInfo.GetJobResultsDir(), path,
                                               device.GetSourceDeviceName(), device.GetFSType());
    return VolumeBitMapHelper::ReadBitMapFromFile(path, &bitmap, size);
  }
};

inline std::vector<std::string> JobArgs(const std::string& level, std::vector<std::string> more = {}) {
  std::vector<std::string> args = {"-a", "2:7", "-j", "101", "-t", level, "-d", "ss1", "-jt", "tok"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// Every file below a folder, by path relative to it.
inline void ListTree(const std::string& root, const std::string& relative, std::vector<std::string>& found) {
  DIR* folder = ::opendir((root + relative).c_str());
  if (folder == nullptr) return;
  while (dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    found.push_back(relative + "/" + name);
    if (entry->d_type == DT_DIR) ListTree(root, relative + "/" + name, found);
  }
  ::closedir(folder);
}

class ScanTest : public ::testing::Test {
 protected:
  ScanTest() : maker_([](TarvosJobInfo& job) -> KzDeviceConfigHandler* { return new BitmapFileHandler(job); }) {
    platform::SubclientRecord subclient;
    subclient.cellId = 2;
    subclient.appId = 7;
    subclient.clientId = 2;
    EXPECT_TRUE(blbsim::AddSubclient(subclient));
    // Job 101 runs, joined through VornServe "vs1".
    platform::JobRecord job;
    job.jobId = 101;
    job.cellId = 2;
    job.appId = 7;
    job.level = 2;
    job.token = "tok";
    EXPECT_TRUE(blbsim::AddJob(job));
    EXPECT_TRUE(blbsim::SetVornServeHost("vs1"));
    jr_ = blbsim::SubclientJobResultsDir(2, 7).value_or("");
    EXPECT_TRUE(platform::MakeDirectories(jr_));
  }

  void WriteRecords(const std::vector<std::string>& lines) {
    BlockDeviceConfigReaderWriter writer;
    ASSERT_FALSE(writer.InitWrite(jr_ + "/BlockDeviceConfig.kzf", false, false).IsError());
    for (const std::string& line : lines) ASSERT_FALSE(writer.WriteNextBackupDevice(BackupDeviceInfo(line)).IsError());
    ASSERT_FALSE(writer.Close().IsError());
  }

  // The driver bitmap the snapshot leaves for the record's volume.
  std::string DriverBitmapPath(const std::string& record) {
    const BackupDeviceInfo device(record);
    std::string path;
    VolumeBitMapHelper::GenerateBitmapFileName(device.GetSourceVolName(), jr_, path, device.GetSourceDeviceName(),
                                               device.GetFSType());
    return path;
  }
  void WriteDriverBitmap(const std::string& record, const std::vector<unsigned char>& bytes) {
    ASSERT_FALSE(VolumeBitMapHelper::WriteBitMapToFile(DriverBitmapPath(record), bytes.data(), bytes.size()).IsError());
  }

  // A snapshot that holds no file system the parser knows: zeros.
  std::string SparseSnapshot(const std::string& name, uint64_t bytes) {
    const std::string path = state_.Sub(name);
    testing_support::WriteFile(path, "");
    EXPECT_EQ(::truncate(path.c_str(), static_cast<off_t>(bytes)), 0);
    return path;
  }

  // The job wrote archive files on "ma1", the network host of "maclient".
  void PreviousJobOnMa1(uint64_t job = 55) {
    ASSERT_TRUE(blbsim::AddArchiveFile(job * 2, job, 7, 2, 1, 0, 1200, "ma1"));
    ASSERT_TRUE(blbsim::AddArchiveFile(job * 2 + 1, job, 7, 2, 1, 0, 1000, "ma1"));
    platform::ClientRecord client;
    client.id = 20;
    client.name = "maclient";
    client.hostName = "maclient*ma1*8400*0";
    ASSERT_TRUE(blbsim::AddClient(client));
  }

  std::string CumulativeBitmapOf(const std::string& volume) {
    std::string path;
    VolumeBitMapHelper::GenerateCumulativeBitmapFileName(volume, jr_ + "/BlockLevelCumulativeBM", path, "", "", true);
    return path;
  }

  CQiError Scan(const std::vector<std::string>& args, std::list<ScanObjects_t> volumes, int streams,
                bool multipleReaders, int starvation, unsigned int& total, bool trueUp = false) {
    return CreateBlkLevelCollectFiles(args, 9, volumes, streams, 0, jr_, multipleReaders, starvation, trueUp, total,
                                      nullptr);
  }

  std::string Read(const std::string& name) { return testing_support::ReadFile(jr_ + "/" + name); }
  bool Exists(const std::string& name) { return testing_support::FileExists(jr_ + "/" + name); }

  testing_support::ScopedStateDir state_;
  scan::ScopedDeviceConfigHandlerMaker maker_;
  std::string jr_;
};

// A small tmpfs over a folder for the test's scope: a full disk.
class ScopedTmpfs {
 public:
  ScopedTmpfs(const std::string& folder, const char* size) : folder_(folder) {
    mounted_ = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
  }
  ~ScopedTmpfs() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

}  // namespace scan_test
