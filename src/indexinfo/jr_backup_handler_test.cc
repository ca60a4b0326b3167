#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "blocklevel/jr_for_job_backup_handler.h"
#include "indexinfo/jr_backup_handler_private.h"
#include "indexinfo/jr_backup_test_fixtures.h"
#include "platform/archive/kz_archive.h"
#include "platform/guid/guid_factory.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/jobs/job_ctrl_client.h"
#include "platform/sim/fault_table.h"
#include "platform/time/time_stamp.h"
#include "tests/support/test_platform.h"

namespace {

using testing_support::CapturingLog;
using testing_support::ReadStreamItems;
using testing_support::ScopedStateDir;
using testing_support::StreamItem;
using testing_support::WriteFile;

constexpr uint64_t kJob = 101;
const std::string kFakeRoot = "/KzBLBTCTroubleShootFakePath_95AD_4538_A437_5F81";

std::string RandomBytes(size_t size) {
  std::mt19937 generator(34);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

uint64_t Field64(const std::string& bytes, size_t at) {
  uint64_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}
uint32_t Field32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

class JRBackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = state_.Sub("T");
    jr_ = root_ + "/jr";
    WriteFile(jr_ + "/a/x.log", "hello");
    WriteFile(jr_ + "/a/Failures.kzf", "failures");
    WriteFile(jr_ + "/a/y.tmp", "tmp");
    ASSERT_EQ(::mkdir((jr_ + "/b").c_str(), 0755), 0);
    cbin_ = RandomBytes(150000);
    WriteFile(jr_ + "/c.bin", cbin_);
    ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "BLBTSFilesNotToBackup", "*.tmp"));
    archive_.setJobId(kJob);
    platform::JobRecord job;
    job.jobId = kJob;
    job.cellId = 2;
    job.appId = 7;
    job.token = "tok";
    ASSERT_TRUE(blbsim::AddJob(job));
  }

  CBLBJRForJobBackupHandler Handler(KZJobCtrlClient* control = nullptr, bool indexV2 = true,
                                    KZArchive* archive = nullptr) {
    return CBLBJRForJobBackupHandler(jr_ + "/", "G1", archive != nullptr ? archive : &archive_,
                                     control != nullptr ? control : &control_, 81, indexV2);
  }

  std::vector<StreamItem> Items(uint64_t job = kJob) {
    bool ok = false;
    std::vector<StreamItem> items = ReadStreamItems(job, ok);
    EXPECT_TRUE(ok);
    return items;
  }

  // F(p): the item name of a real path.
  static std::string F(const std::string& path) { return kFakeRoot + path; }

  // The items the folder gives with nothing filtered but the defaults.
  std::vector<std::string> ExpectedNames() {
    std::vector<std::string> names{kFakeRoot};
    for (size_t slash = jr_.find('/', 1); slash != std::string::npos; slash = jr_.find('/', slash + 1))
      names.push_back(F(jr_.substr(0, slash)));
    for (const char* below : {"", "/a", "/a/x.log", "/b", "/c.bin"}) names.push_back(F(jr_ + below));
    return names;
  }

  static std::vector<std::string> Names(const std::vector<StreamItem>& items) {
    std::vector<std::string> names;
    for (const StreamItem& item : items) names.push_back(item.Name());
    return names;
  }

  ScopedStateDir state_;
  std::string root_, jr_, cbin_;
  KZArchive archive_{"client9"};
  KZJobCtrlClient control_{"client9"};
};

TEST_F(JRBackupTest, StreamsTheFolderItsAncestorsAndFilesAsItems) {
  const int64_t before = CTimeStamp::Now().AsUnixTime();
  CBLBJRForJobBackupHandler handler = Handler();
  CQiError result = handler.Run();
  const int64_t after = CTimeStamp::Now().AsUnixTime();
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(archive_.OutstandingBuffers(), 0u);

  std::vector<StreamItem> items = Items();
  ASSERT_EQ(Names(items), ExpectedNames());
  const std::vector<uint32_t> folder{128, 159, 159, 159, 159, 130};
  for (const StreamItem& item : items) {
    const std::string name = item.Name();
    if (name == F(jr_ + "/a/x.log")) {
      EXPECT_EQ(item.types, (std::vector<uint32_t>{128, 159, 159, 159, 159, 2, 130}));
      EXPECT_EQ(item.data, "hello");
    } else if (name == F(jr_ + "/c.bin")) {
      EXPECT_EQ(item.dataLengths, (std::vector<size_t>{65536, 65536, 18928}));
      EXPECT_TRUE(item.data == cbin_);
    } else {
      EXPECT_EQ(item.types, folder) << name;
    }
    ASSERT_EQ(item.metadata.size(), 4u) << name;
    EXPECT_EQ(item.metadata[0].first, 0x2057F131u);
    EXPECT_EQ(item.metadata[1].first, 0x26BC1A27u);
    EXPECT_EQ(item.metadata[2].first, 0x85ED33A1u);
    EXPECT_EQ(item.metadata[3].first, 0x57571A98u);
    EXPECT_EQ(item.metadataPayloads[3], std::string("\x98\x1A\x57\x57\x0F\x00\x00\x00Troubleshooting", 23));
  }

  // x.log: its identity and its header byte for byte.
  const StreamItem& xlog = items[items.size() - 3];
  const std::string name = F(jr_ + "/a/x.log");
  EXPECT_EQ(xlog.metadata[0].second, GetObjectGuid(name, 0, '/'));
  EXPECT_EQ(xlog.metadata[1].second, GetObjectGuid(F(jr_ + "/a"), 0, '/'));
  struct stat status {};
  ASSERT_EQ(::stat((jr_ + "/a/x.log").c_str(), &status), 0);
  std::string version;
  GetVersionGuid(name, "G1", static_cast<uint64_t>(status.st_mtime), static_cast<uint64_t>(status.st_ctime), 5, 0, 0,
                 '/', version);
  EXPECT_EQ(xlog.metadata[2].second, version);
  const std::string& h = xlog.headerBytes;
  EXPECT_EQ(Field32(h, 0x00), 3u);
  EXPECT_EQ(Field32(h, 0x04), 0x50C0u);
  EXPECT_EQ(Field32(h, 0x0C), name.size() + 1);
  EXPECT_EQ(Field64(h, 0x10), status.st_mode);
  EXPECT_EQ(Field64(h, 0x30), 0x10000000000ull);
  EXPECT_EQ(Field64(h, 0x38), 5u);
  EXPECT_EQ(Field32(h, 0x60), 47u);
  EXPECT_EQ(static_cast<unsigned char>(h[0x64]), 0x03);
  EXPECT_NE(Field32(h, 0x6C) & 0x200u, 0u);
  EXPECT_EQ(Field32(h, 0x80), 81u);
  EXPECT_EQ(h.substr(0x84, name.size() + 1), name + std::string(1, '\0'));

  // The fake root is a folder dated now; the first ancestor is its folder.
  const std::string& fake = items[0].headerBytes;
  EXPECT_EQ(Field64(fake, 0x10), 0x4000u);
  EXPECT_EQ(Field32(fake, 0x08), 0u);
  EXPECT_EQ(Field64(fake, 0x38), 0u);
  EXPECT_GE(static_cast<int64_t>(Field64(fake, 0x40)), before);
  EXPECT_LE(static_cast<int64_t>(Field64(fake, 0x40)), after);
  struct stat first {};
  ASSERT_EQ(::stat(jr_.substr(0, jr_.find('/', 1)).c_str(), &first), 0);
  EXPECT_EQ(Field64(items[1].headerBytes, 0x10), first.st_mode);
}

TEST_F(JRBackupTest, SendsNothingWithoutIndexingV2AndRefusesAMissingArchive) {
  CapturingLog log;
  CBLBJRForJobBackupHandler v1 = Handler(nullptr, false);
  EXPECT_FALSE(v1.Run().IsError());
  EXPECT_TRUE(log.Contains("It appears Indexing V1 enabled client, nothing to do"));
  EXPECT_TRUE(Items().empty());

  for (bool indexV2 : {true, false}) {
    CBLBJRForJobBackupHandler noArchive(jr_, "G1", nullptr, &control_, 81, indexV2);
    CQiError error = noArchive.Run();
    EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 22));
    EXPECT_NE(error.AsString().find("Invalid params passed as input"), std::string::npos);
    CBLBJRForJobBackupHandler noControl(jr_, "G1", &archive_, nullptr, 81, indexV2);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(noControl.Run(), 22));
  }
  EXPECT_TRUE(Items().empty());
}

TEST_F(JRBackupTest, QuitFlagAndCallbacksDecideWhatIsSent) {
  ASSERT_TRUE(blbsim::SetJobQuitFlag(kJob, true));
  KZJobCtrlClient quitting(kJob, "client9");
  CBLBJRForJobBackupHandler quit = Handler(&quitting);
  CQiError error = quit.Run();
  ASSERT_TRUE(error.IsError());
  EXPECT_NE(error.AsString().find("Job Quit flag received"), std::string::npos);
  std::vector<StreamItem> items = Items();
  ASSERT_FALSE(items.empty());
  EXPECT_EQ(items.back().Name(), F(jr_));
  EXPECT_EQ(items.back().types.back(), 130u);
  EXPECT_EQ(archive_.OutstandingBuffers(), 0u);

  // A filter callback is asked only for files no term matched.
  std::vector<std::string> asked;
  KZArchive second("client9");
  second.setJobId(kJob + 1);
  CBLBJRForJobBackupHandler skipping = Handler(nullptr, true, &second);
  skipping.SetJRItemFilterCallback([&](const std::string& path, bool& skip) {
    asked.push_back(path);
    skip = path == jr_ + "/c.bin";
    return CQiError();
  });
  // Every item's header goes through the pre-process callback.
  skipping.SetJRItemPreprocessCallback([](const std::string&, CXFileHeader& header) {
    header.h_clientOS = 5;
    return CQiError();
  });
  ASSERT_FALSE(skipping.Run().IsError());
  EXPECT_EQ(asked, (std::vector<std::string>{jr_ + "/a/x.log", jr_ + "/c.bin"}));
  items = Items(kJob + 1);
  std::vector<std::string> expected = ExpectedNames();
  expected.pop_back();
  EXPECT_EQ(Names(items), expected);
  for (const StreamItem& item : items) EXPECT_EQ(Field32(item.headerBytes, 0x80), 5u) << item.Name();

  CBLBJRForJobBackupHandler failing = Handler();
  failing.SetJRItemFilterCallback(
      [](const std::string&, bool&) { return FXErrorUtil::ErrorErrNo(FXCODELOC, 5, "filter X broke"); });
  error = failing.Run();
  EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 1627)) << error.AsString();
  EXPECT_NE(error.AsString().find("Failed while enumerating path=["), std::string::npos);
  EXPECT_NE(error.AsString().find("filter X broke"), std::string::npos);
}

TEST_F(JRBackupTest, ArchiveAndReadFailuresEndTheRunAndFreeEveryBuffer) {
  platform::FaultTable::Set("KZArchive::writeBuffer", 5, platform::FaultMode::kError, 1);
  CBLBJRForJobBackupHandler writeFails = Handler();
  CQiError error = writeFails.Run();
  ASSERT_TRUE(error.IsError());
  EXPECT_NE(error.AsString().find("Failed to backup ancestor path, error=["), std::string::npos);
  EXPECT_NE(error.AsString().find("Failed to write Archive buffer"), std::string::npos);
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 0x17000045));
  // The first failure is the ancestor's header: nothing reaches the stream.
  EXPECT_TRUE(Items().empty());
  EXPECT_EQ(archive_.OutstandingBuffers(), 0u);

  // c.bin shrinks after its header was taken: a short read fails its item.
  CapturingLog log;
  CBLBJRForJobBackupHandler shortRead = Handler();
  const std::string cbin = jr_ + "/c.bin";
  shortRead.SetJRItemPreprocessCallback([&](const std::string& path, CXFileHeader&) {
    if (path == cbin && ::truncate(cbin.c_str(), 100) != 0) return FXErrorUtil::ErrorErrNo(FXCODELOC, errno);
    return CQiError();
  });
  error = shortRead.Run();
  EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 1627)) << error.AsString();
  EXPECT_NE(error.AsString().find("Something wrong, read=100 actual=65536"), std::string::npos);
  std::vector<StreamItem> items = Items();
  ASSERT_FALSE(items.empty());
  EXPECT_EQ(items.back().Name(), F(cbin));
  EXPECT_EQ(items.back().types, (std::vector<uint32_t>{128, 159, 159, 159, 159, 134}));
  EXPECT_EQ(archive_.OutstandingBuffers(), 0u);
}

TEST_F(JRBackupTest, ANameLongerThanTheHeaderFieldIsCut) {
  std::string deep = jr_;
  for (int i = 0; i < 5; ++i) {
    deep += "/" + std::string(250, static_cast<char>('p' + i));
    ASSERT_EQ(::mkdir(deep.c_str(), 0755), 0);
  }
  CBLBJRForJobBackupHandler handler = Handler();
  ASSERT_FALSE(handler.Run().IsError());
  const std::string name = F(deep);
  bool found = false;
  for (const StreamItem& item : Items()) {
    if (item.Name().size() < 1027) continue;
    found = found || item.Name() == name.substr(0, 1027);
    EXPECT_EQ(Field32(item.headerBytes, 0x0C), 1028u);
    EXPECT_EQ(item.headerBytes[0x84 + 1027], '\0');
  }
  EXPECT_TRUE(found);
}

TEST_F(JRBackupTest, LinksFifosAndDevicesAreNamedAndSkipped) {
  ASSERT_EQ(::mkfifo((jr_ + "/p").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("/dev/zero", (jr_ + "/l").c_str()), 0);
  ASSERT_EQ(::symlink("..", (jr_ + "/up").c_str()), 0);
  CapturingLog log;
  const auto start = std::chrono::steady_clock::now();
  CBLBJRForJobBackupHandler handler = Handler();
  CQiError result = handler.Run();
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(Names(Items()), ExpectedNames());
  for (const char* name : {"/p", "/l", "/up"}) {
    bool named = false;
    for (const std::string& line : log.Lines())
      named = named || (line.find("Skipping troubleshooting item[" + jr_ + name + "]") != std::string::npos);
    EXPECT_TRUE(named) << name;
  }
}

}  // namespace
