// The index-info reader over the simulated index: what one query browses and
// keeps, a failed or refused browse browsed again, a file restored only when
// the index gave all of it, and any file the store uploaded restored whole.
#include "blocklevel/index_info_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "blocklevel/index_info_store.h"
#include "platform/config/agent_config.h"
#include "platform/harness/index_harness.h"
#include "platform/jobs/bkp_job_client.h"
#include "platform/messages/service_messages.h"
#include "platform/services/archive_manager.h"
#include "platform/sim/fault_table.h"
#include "platform/text/ascii85.h"
#include "support/test_platform.h"

namespace {

using List = std::list<std::string>;
using testing_support::FileExists;

const std::string kView = "[System State]";
const std::string kKey = "Special Components\\Keystep Files";
const std::string kFile = "KeystepInfo.kzf.7z";

std::string RandomBytes(size_t size) {
  std::mt19937 random(7);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

// The data text of a file: one encoded block per 64 KiB.
std::string Encoded(const std::string& bytes) {
  std::string text;
  for (size_t at = 0; at < bytes.size(); at += 0x10000) {
    std::string block;
    CAscii85::Encode(bytes.data() + at, std::min<size_t>(0x10000, bytes.size() - at), block);
    text += block;
  }
  return text;
}

class IndexInfoReaderTest : public ::testing::Test {
 public:
  void SetUp() override {
    platform::SubclientRecord subclient;
    subclient.cellId = 2;
    subclient.appId = 7;
    subclient.clientId = 9;
    subclient.appType = 29;
    subclient.backupSetId = 3;
    ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
    platform::JobRecord job;
    job.jobId = 500;
    job.cellId = 2;
    job.appId = 7;
    ASSERT_TRUE(platform::JobService::Current().PutJob(job));
    bag_.Write("ver", "1");
    std::string bagText;
    bag_.GetSerializedData(bagText);
    const std::string root = "\\" + kView;
    Publish(root, true);
    Publish(root + "\\Special Components", true);
    Publish(root + "\\Special Components\\.self", false, bagText);
    Publish(root + "\\" + kKey, true);
    Publish(root + "\\" + kKey + "\\" + kFile, false, Encoded(content_));
    ASSERT_TRUE(blbsim::ClearIndexRequests());
  }

  void Publish(const std::string& path, bool folder, const std::optional<std::string>& data = std::nullopt) {
    ASSERT_TRUE(blbsim::PublishIndexItem(500, 1000, path, folder, data));
  }

  void Open(CIndexInfoReader& reader) {
    ASSERT_FALSE(reader.Initialize("ss1", 0, 3, 2, 9, 29, 900, 0).IsError());
    reader.SetDelimiter('\\');
    reader.SetViewName(kView);
  }

  static std::vector<platform::IndexRequestRecord> Browses() {
    std::vector<platform::IndexRequestRecord> browses;
    for (const platform::IndexRequestRecord& record : blbsim::IndexRequests())
      if (record.call == "Browse") browses.push_back(record);
    return browses;
  }

  static databrowse::BrowseRequest Parsed(const platform::IndexRequestRecord& record) {
    databrowse::BrowseRequest request;
    EXPECT_EQ(request.unserialize(record.request), 0);
    return request;
  }

  testing_support::ScopedStateDir state_;
  CBag bag_;
  const std::string content_ = RandomBytes(200001);
};

TEST_F(IndexInfoReaderTest, BrowsesEachKeyPathOnceAndRestoresItsFile) {
  CIndexInfoReader reader;
  Open(reader);
  List files;
  ASSERT_FALSE(reader.GetFiles(kKey, files).IsError());
  EXPECT_EQ(files, List{kFile});
  ASSERT_EQ(Browses().size(), 1u);
  const databrowse::BrowseRequest request = Parsed(Browses()[0]);
  EXPECT_EQ(request.getint64(1, 1), 0);
  CNMessageBase entity, range, mode, filter;
  ASSERT_TRUE(request.getObjectAccessor(3, 3, entity));
  EXPECT_EQ(entity.getuint64(1, 1), 2u);
  EXPECT_EQ(entity.getuint64(17, 47), 9u);
  EXPECT_EQ(entity.getuint64(8, 20), 3u);
  EXPECT_EQ(entity.getuint64(14, 38), 29u);
  ASSERT_TRUE(request.getObjectAccessor(6, 6, range));
  EXPECT_EQ(range.getint64(2, 2), 900);
  EXPECT_EQ(range.getint64(1, 1), 0);
  ASSERT_TRUE(request.getObjectAccessor(8, 8, mode));
  EXPECT_EQ(mode.getint64(1, 1), 2);
  const std::vector<CNMessageBase> queries = request.getlistobject(12, 12);
  ASSERT_EQ(queries.size(), 1u);
  const std::vector<CNMessageBase> criteria = queries[0].getlistobject(8, 11);
  ASSERT_EQ(criteria.size(), 1u);
  ASSERT_TRUE(criteria[0].getObjectAccessor(1, 1, filter));
  EXPECT_EQ(filter.getliststring(4, 4), std::vector<std::string>{"*"});
  EXPECT_FALSE(request.isSet(9, 9));
  CNMessageBase advanced;
  ASSERT_TRUE(request.getObjectAccessor(11, 11, advanced));
  EXPECT_FALSE(advanced.isSet(1, 1));
  const std::vector<CNMessageBase> paths = request.getlistobject(4, 4);
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0].getstring(1, 1), "\\[System State]\\Special Components\\Keystep Files");

  ASSERT_FALSE(reader.GetFiles(kKey, files).IsError());
  EXPECT_EQ(files, List{kFile});
  EXPECT_EQ(Browses().size(), 1u);

  List keys, subPaths;
  ASSERT_FALSE(reader.GetKeys("Special Components", keys).IsError());
  EXPECT_EQ(keys, List{"ver"});
  ASSERT_FALSE(reader.GetSubPaths("Special Components", subPaths).IsError());
  EXPECT_EQ(subPaths, List{"Keystep Files"});
  std::string version;
  ASSERT_TRUE(reader.GetPathBag("Special Components"));
  EXPECT_FALSE(reader.GetPathBag("Special Components")->Read("ver", version).IsError());
  EXPECT_EQ(version, "1");

  const std::string output = state_.Sub("restored");
  ASSERT_FALSE(reader.WriteFileContentForKey(kKey, kFile, output).IsError());
  EXPECT_EQ(testing_support::ReadFile(output), content_);

  ASSERT_TRUE(blbsim::ClearIndexRequests());
  ASSERT_FALSE(reader.GetFiles("A\\B", files).IsError());
  EXPECT_TRUE(files.empty());
  ASSERT_EQ(Browses().size(), 1u);
  EXPECT_EQ(Parsed(Browses()[0]).getlistobject(4, 4)[0].getstring(1, 1), "\\[System State]\\A\\B");
}

// The subclient, job 500 and its archive file, as the store's
// self-connecting upload needs them.
void SeedStoreJob() {
  platform::SubclientRecord subclient;
  subclient.cellId = 2;
  subclient.appId = 7;
  subclient.clientId = 9;
  subclient.appType = 29;
  subclient.backupSetId = 3;
  ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
  platform::JobRecord job;
  job.jobId = 500;
  job.cellId = 2;
  job.appId = 7;
  job.token = "tok";
  ASSERT_TRUE(platform::JobService::Current().PutJob(job));
  platform::ArchiveFileRecord file;
  file.archFileId = 50;
  file.jobId = 500;
  file.appId = 7;
  file.cellId = 2;
  file.groupId = 4;
  file.createTime = 1000;
  file.storageHostName = "ma1";
  ASSERT_TRUE(platform::ArchiveManager::Current().Put(file));
}

// The store's upload of the view: the local file under the key, and a bag.
void UploadView(const std::string& local) {
  CIndexInfoStore store(500, 2, 7);
  store.SetDelimiter('\\');
  store.SetViewName(kView);
  ASSERT_FALSE(store.AddFileContentForKey(kKey, local).IsError());
  ASSERT_FALSE(store.GetPathBag("Special Components")->Write("ver", "1").IsError());
  CQiError error = store.BackupData("ss1", "tok", 0);
  ASSERT_FALSE(error.IsError()) << error.AsString();
}

void OpenView(CIndexInfoReader& reader) {
  ASSERT_FALSE(reader.Initialize("ss1", 0, 3, 2, 9, 29, 900, 0).IsError());
  reader.SetDelimiter('\\');
  reader.SetViewName(kView);
}

// The view as the index-info store uploads it, not as published by hand:
// what the store writes is what the reader browses and restores.
TEST(IndexInfoReaderOverStoreTest, ReadsBackTheViewTheStoreUploaded) {
  testing_support::ScopedStateDir state;
  SeedStoreJob();
  const std::string content = RandomBytes(200001);
  const std::string local = state.Sub(kFile);
  testing_support::WriteFile(local, content);
  UploadView(local);
  ASSERT_TRUE(blbsim::ClearIndexRequests());

  CIndexInfoReader reader;
  OpenView(reader);
  List files;
  ASSERT_FALSE(reader.GetFiles(kKey, files).IsError());
  EXPECT_EQ(files, List{kFile});
  ASSERT_FALSE(reader.GetFiles(kKey, files).IsError());
  EXPECT_EQ(files, List{kFile});
  const std::vector<platform::IndexRequestRecord> browses = IndexInfoReaderTest::Browses();
  ASSERT_EQ(browses.size(), 1u);
  EXPECT_EQ(IndexInfoReaderTest::Parsed(browses[0]).getlistobject(4, 4)[0].getstring(1, 1),
            "\\[System State]\\Special Components\\Keystep Files");

  List keys, subPaths;
  ASSERT_FALSE(reader.GetKeys("Special Components", keys).IsError());
  EXPECT_EQ(keys, List{"ver"});
  ASSERT_FALSE(reader.GetSubPaths("Special Components", subPaths).IsError());
  EXPECT_EQ(subPaths, List{"Keystep Files"});
  const std::string output = state.Sub("restored");
  CQiError error = reader.WriteFileContentForKey(kKey, kFile, output);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(testing_support::ReadFile(output), content);
}

// What the store's upload of a file restores through the reader, in a state
// of its own (so the index holds this file only); the failure's text when
// the restore fails.
std::string RoundTrip(const std::string& content) {
  testing_support::ScopedStateDir state;
  SeedStoreJob();
  const std::string local = state.Sub(kFile);
  testing_support::WriteFile(local, content);
  UploadView(local);
  CIndexInfoReader reader;
  OpenView(reader);
  const std::string output = state.Sub("restored");
  CQiError error = reader.WriteFileContentForKey(kKey, kFile, output);
  return error.IsError() ? "failed: " + error.AsString() : testing_support::ReadFile(output);
}

// Whatever a file's chunks encode to, the store's upload restores byte for
// byte. The case to watch: a chunk whose first four bytes (big-endian) fall
// in [0x5A3BD50D, 0x5D57F4BE) encodes to a text beginning "<~>".
TEST(IndexInfoReaderOverStoreTest, FilesWhateverTheirChunksBeginWithAreRestoredWhole) {
  constexpr size_t kChunk = 0x10000;
  std::vector<std::string> failed;
  const auto check = [&failed](const std::string& name, const std::string& content) {
    if (RoundTrip(content) != content) failed.push_back(name);
  };
  check("starts 5B FF 00 00", std::string("\x5B\xFF\x00\x00", 4) + RandomBytes(kChunk));

  // A chunk beginning with each byte value, then the range's first and last
  // words and their neighbours outside it, then two all-zero chunks.
  std::string chunks = RandomBytes(262 * kChunk);
  for (size_t value = 0; value < 256; ++value) chunks[value * kChunk] = static_cast<char>(value);
  const uint32_t borders[] = {0x5A3BD50C, 0x5A3BD50D, 0x5D57F4BD, 0x5D57F4BE};
  for (size_t i = 0; i < 4; ++i)
    for (size_t b = 0; b < 4; ++b) chunks[(256 + i) * kChunk + b] = static_cast<char>(borders[i] >> (24 - 8 * b));
  std::fill(chunks.begin() + 260 * kChunk, chunks.end(), '\0');
  check("chunks by first bytes", chunks);

  // A last chunk of one to three bytes, its text beginning "<~>" or not.
  for (size_t tail = 1; tail <= 3; ++tail)
    for (const char* bytes : {"\x5B\xFF\x00", "\x01\x02\x03"})
      check("tail " + std::string(bytes, tail), RandomBytes(kChunk) + std::string(bytes, tail));
  EXPECT_TRUE(failed.empty()) << testing::PrintToString(failed);
}

// About one random chunk in 85 begins "<~>": 200 random files of 1 MiB
// (16 chunks each) hold dozens of them.
TEST(IndexInfoReaderOverStoreTest, RandomFilesAreRestoredWhole) {
  std::mt19937 random(40);
  std::string bytes(1 << 20, '\0');
  std::vector<int> failed;
  for (int i = 0; i < 200; ++i) {
    for (size_t at = 0; at < bytes.size(); at += sizeof(uint32_t)) {
      const uint32_t word = static_cast<uint32_t>(random());
      std::memcpy(&bytes[at], &word, sizeof word);
    }
    if (RoundTrip(bytes) != bytes) failed.push_back(i);
  }
  EXPECT_TRUE(failed.empty()) << failed.size() << " of 200 not restored: " << testing::PrintToString(failed);
}

// A reader whose Initialize failed, even after one that succeeded, answers
// as one never initialised: nothing is browsed with the ids it has.
TEST_F(IndexInfoReaderTest, AReaderWhoseInitializeFailedBrowsesNothing) {
  CIndexInfoReader reader;
  Open(reader);
  EXPECT_TRUE(reader.Initialize("ss1", 500, 500, 2, 99, 900).IsError());
  List files = {"stale"};
  ASSERT_FALSE(reader.GetFiles(kKey, files).IsError());
  EXPECT_TRUE(files.empty());
  EXPECT_EQ(reader.GetPathBag("Special Components"), nullptr);
  const std::string output = state_.Sub("restored");
  CQiError error = reader.WriteFileContentForKey(kKey, kFile, output);
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 13)) << error.AsString();
  EXPECT_NE(error.GetMessage().find("not initialized"), std::string::npos) << error.GetMessage();
  EXPECT_FALSE(FileExists(output));
  EXPECT_TRUE(Browses().empty());
}

// A service call that throws ends the call that made it with a failure
// (the queries: with nothing answered), never with the exception.
TEST_F(IndexInfoReaderTest, AServiceThatThrowsFailsTheCallOnly) {
  CIndexInfoReader reader;
  platform::FaultTable::Set("ApplicationId::getClient", 5, platform::FaultMode::kThrow, 1);
  CQiError error;
  EXPECT_NO_THROW(error = reader.Initialize("ss1", 500, 500, 2, 7, 900));
  EXPECT_EQ(error.GetMessage(), "Injected fault in ApplicationId::getClient") << error.AsString();

  Open(reader);
  platform::FaultTable::Set("IdxBrowseClient::Browse", 5, platform::FaultMode::kThrow);
  List files = {"stale"};
  EXPECT_NO_THROW(error = reader.GetFiles(kKey, files));
  EXPECT_FALSE(error.IsError());
  EXPECT_TRUE(files.empty());
  EXPECT_NO_THROW(EXPECT_EQ(reader.GetPathBag("Special Components"), nullptr));
  EXPECT_NO_THROW(error = reader.WriteFileContentForKey(kKey, kFile, state_.Sub("restored")));
  EXPECT_TRUE(error.IsError());
  platform::FaultTable::Clear("IdxBrowseClient::Browse");
}

TEST_F(IndexInfoReaderTest, FailedOrRefusedPathBrowsesAreBrowsedAgain) {
  CIndexInfoReader reader;
  Open(reader);
  testing_support::CapturingLog log;
  List files;
  platform::FaultTable::Set("IdxBrowseClient::Browse", 5, false, 1);
  ASSERT_FALSE(reader.GetFiles(kKey, files).IsError());
  EXPECT_TRUE(files.empty());
  EXPECT_TRUE(log.Contains("failed to load path 'Special Components\\Keystep Files' from index, error="));
  ASSERT_FALSE(reader.GetFiles(kKey, files).IsError());
  EXPECT_EQ(files, List{kFile});

  databrowse::BrowseError error;
  error.setint64(error.kCode.number, error.kCode.tag, 10);
  databrowse::BrowseResponse maintenance;
  maintenance.setint64(maintenance.kType.number, maintenance.kType.tag, 3);
  maintenance.addlistobject(maintenance.kErrors.number, maintenance.kErrors.tag, error);
  databrowse::BrowseResponseList reply;
  reply.addlistobject(reply.kResponses.number, reply.kResponses.tag, maintenance);
  std::string why;
  ASSERT_TRUE(blbsim::QueueIndexReply(reply.toString(), 0, "Special Components", &why)) << why;
  List keys;
  ASSERT_FALSE(reader.GetKeys("Special Components", keys).IsError());
  EXPECT_TRUE(keys.empty());
  EXPECT_TRUE(log.Contains("Index maintenance in progress"));
  ASSERT_FALSE(reader.GetKeys("Special Components", keys).IsError());
  EXPECT_EQ(keys, List{"ver"});
}

// A browse the index fails, at its start or while it runs, fails with 1627
// and is logged under the browse that tried it, a path's or a file's.
TEST_F(IndexInfoReaderTest, FailedBrowsesAreLoggedUnderTheBrowseThatFailed) {
  const std::string output = state_.Sub("restored");
  for (const char* call : {"IdxBrowseClient::Initialize", "IdxBrowseClient::Browse"}) {
    SCOPED_TRACE(call);
    testing_support::CapturingLog log;
    const auto loggedFailure = [&log](const std::string& browse) {
      for (const std::string& line : log.Lines())
        if (line.rfind("[-1] " + browse + ": ", 0) == 0 &&
            line.find("Failed to get items from index") != std::string::npos)
          return true;
      return false;
    };
    CIndexInfoReader reader;
    Open(reader);
    List files;
    platform::FaultTable::Set(call, 5, false, 1);
    ASSERT_FALSE(reader.GetFiles(kKey, files).IsError());
    EXPECT_TRUE(files.empty());
    EXPECT_TRUE(loggedFailure("LoadIdxPath")) << ::testing::PrintToString(log.Lines());
    ASSERT_FALSE(reader.GetFiles(kKey, files).IsError());
    EXPECT_EQ(files, List{kFile});

    platform::FaultTable::Set(call, 5, false, 1);
    CQiError error = reader.WriteFileContentForKey(kKey, kFile, output);
    EXPECT_EQ(FXErrorUtil::GetWin32(error), 1627u);
    EXPECT_NE(error.GetMessage().find("Failed to get items from index"), std::string::npos) << error.AsString();
    EXPECT_TRUE(loggedFailure("LoadFile")) << ::testing::PrintToString(log.Lines());
    EXPECT_FALSE(FileExists(output));
  }
}

TEST_F(IndexInfoReaderTest, FileIsRestoredOnlyWhenTheIndexGaveAllOfIt) {
  CIndexInfoReader reader;
  Open(reader);
  const std::string output = state_.Sub("restored");
  databrowse::BrowseResponse partial;
  partial.setint64(partial.kType.number, partial.kType.tag, 2);
  databrowse::BrowseResponseList reply;
  reply.addlistobject(reply.kResponses.number, reply.kResponses.tag, partial);
  std::string why;
  ASSERT_TRUE(blbsim::QueueIndexReply(reply.toString(), 1, kFile, &why)) << why;
  CQiError error = reader.WriteFileContentForKey(kKey, kFile, output);
  ASSERT_TRUE(error.IsError());
  EXPECT_EQ(FXErrorUtil::GetWin32(error), 1627u);
  EXPECT_NE(error.GetMessage().find("File '"), std::string::npos);
  EXPECT_FALSE(FileExists(output));

  error = reader.WriteFileContentForKey(kKey, "missing", output);
  EXPECT_EQ(FXErrorUtil::GetWin32(error), 1627u);
  EXPECT_FALSE(FileExists(output));

  ASSERT_TRUE(blbsim::SetIndexingV2(2, 7, false));
  ASSERT_TRUE(blbsim::ClearIndexRequests());
  error = reader.WriteFileContentForKey(kKey, kFile, output);
  EXPECT_EQ(FXErrorUtil::GetWin32(error), 1627u);
  EXPECT_NE(error.GetMessage().find("Init returned V1 indexing message"), std::string::npos);
  EXPECT_TRUE(Browses().empty());
  EXPECT_FALSE(FileExists(output));
}

}  // namespace
