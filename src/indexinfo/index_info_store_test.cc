#include "blocklevel/index_info_store.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/config/agent_config.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/harness/snap_harness.h"
#include "platform/indexing/indexing_connection.h"
#include "platform/messages/service_messages.h"
#include "platform/services/archive_manager.h"
#include "platform/sim/fault_table.h"
#include "platform/text/ascii85.h"
#include "tests/support/test_platform.h"

namespace {

using testing_support::CapturingLog;
using testing_support::ScopedStateDir;

constexpr uint64_t kJob = 101;

// One item as the simulated index recorded it: its metadata record and the
// header line after it.
struct IndexItem {
  IdxMetadata::IdxMetaData record;
  std::string header;

  std::string Name() const { return Field("name"); }
  std::string Field(const std::string& key) const {
    const size_t at = header.find(key + "=");
    if (at == std::string::npos) return "";
    const size_t start = at + key.size() + 1;
    return header.substr(start, header.find(' ', start) - start);
  }
  std::string ViewName() const {
    IdxMetadata::IdxObjectInfo object;
    IdxMetadata::IdxViewInfo view;
    if (!record.getObjectAccessor(record.kObject.number, record.kObject.tag, object) ||
        !object.getObjectAccessor(object.kView.number, object.kView.tag, view))
      return "<none>";
    return view.getstring(view.kViewName.number, view.kViewName.tag);
  }
  std::string Data() const {
    IdxMetadata::IdxDataInfo data;
    if (!record.getObjectAccessor(record.kData.number, record.kData.tag, data)) return "<none>";
    return data.getstring(data.kData.number, data.kData.tag);
  }
};

// The job's items; lines other than metadata and headers are left in
// `others`.
std::vector<IndexItem> Items(std::vector<std::string>* others = nullptr) {
  std::vector<IndexItem> items;
  IdxMetadata::IdxMetaData pending;
  for (const std::string& line : blbsim::IndexItems(kJob)) {
    if (line.rfind("idxmeta ", 0) == 0) {
      EXPECT_EQ(pending.unserialize(line.substr(8)), 0) << line;
    } else if (line.rfind("header ", 0) == 0) {
      items.push_back({pending, line});
    } else if (others != nullptr) {
      others->push_back(line);
    }
  }
  return items;
}

class IndexInfoStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ClientRecord client;
    client.id = 9;
    client.name = "client9";
    ASSERT_TRUE(blbsim::AddClient(client));
    subclient_.cellId = 2;
    subclient_.appId = 7;
    subclient_.clientId = 9;
    subclient_.appType = 29;
    subclient_.blockLevelFlags = platform::SubclientRecord::kBlockLevel;
    ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient_));
    platform::JobRecord job;
    job.jobId = kJob;
    job.cellId = 2;
    job.appId = 7;
    job.level = 1;
    job.token = "tok";
    ASSERT_TRUE(blbsim::AddJob(job));
  }

  void AddArchiveFile(uint64_t id) {
    platform::ArchiveFileRecord file;
    file.archFileId = id;
    file.jobId = kJob;
    file.appId = 7;
    file.cellId = 2;
    file.groupId = 4;
    file.createTime = 1700000000 + id;
    file.storageHostName = "ma1";
    ASSERT_TRUE(platform::ArchiveManager::Current().Put(file));
  }

  ScopedStateDir state_;
  platform::SubclientRecord subclient_;
};

TEST_F(IndexInfoStoreTest, UploadsTheTreeAsItemsOfItsView) {
  std::mt19937 generator(5);
  std::string content(70000, '\0');
  for (char& c : content) c = static_cast<char>(generator());
  const std::string file = state_.Sub("f");
  testing_support::WriteFile(file, content);

  CIndexInfoStore store(kJob, 2, 7);
  store.SetDelimiter('\\');
  store.SetViewName("V");
  ASSERT_FALSE(store.GetPathBag("A\\B")->Write("k", "v1").IsError());
  ASSERT_FALSE(store.AddFileContentForKey("A\\B", file).IsError());
  IndexingConnection connection;
  ASSERT_EQ(connection.initialize(2, 7, 29, 1, "tok", "ss1", "ma1", 0), 0);
  CQiError result = store.BackupData(connection);
  ASSERT_FALSE(result.IsError()) << result.AsString();

  const std::vector<IndexItem> items = Items();
  std::vector<std::string> names;
  for (const IndexItem& item : items) names.push_back(item.Name());
  EXPECT_EQ(names, (std::vector<std::string>{"\\V", "\\V\\.self", "\\V\\A", "\\V\\A\\.self", "\\V\\A\\B",
                                             "\\V\\A\\B\\.self", "\\V\\A\\B\\f"}));
  for (const IndexItem& item : items) {
    const bool folder = item.Name().find('.') == std::string::npos && item.Name() != "\\V\\A\\B\\f";
    EXPECT_EQ(item.Field("mode"), folder ? "0x4124" : "0x8124") << item.header;
    EXPECT_EQ(item.Field("attrs"), "0x20008000000000") << item.header;
    EXPECT_EQ(item.Field("delim"), "92") << item.header;
    EXPECT_EQ(item.Field("opts"), "0x3") << item.header;
    EXPECT_EQ(item.Field("os"), "25") << item.header;
    EXPECT_EQ(item.Field("namelen"), std::to_string(item.Name().size())) << item.header;
    EXPECT_EQ(item.ViewName(), "V") << item.header;
    EXPECT_EQ(item.Data() == "<none>", folder) << item.header;
  }

  // The file's data: one ASCII85 block per 64 KiB chunk.
  const std::string text = items.back().Data();
  std::string decoded, block;
  size_t blocks = 0;
  for (size_t start = 0; start < text.size(); ++blocks) {
    const size_t end = text.find("~>", start + 2);  // past "<~": a chunk may begin "<~>"
    ASSERT_NE(end, std::string::npos);
    ASSERT_FALSE(CAscii85::Decode(text.substr(start, end + 2 - start), block).IsError());
    decoded += block;
    start = end + 2;
  }
  EXPECT_EQ(blocks, 2u);
  EXPECT_TRUE(decoded == content);

  CBag bag;
  ASSERT_FALSE(bag.LoadSerializedData(items[5].Data()).IsError()) << items[5].Data();
  std::string value;
  ASSERT_FALSE(bag.Read("k", value).IsError());
  EXPECT_EQ(value, "v1");
}

TEST_F(IndexInfoStoreTest, AnEmptyTreeIsItsViewAndKeyBagAndQueriesMakeNodes) {
  CIndexInfoStore store(kJob, 2, 7);
  store.SetViewName("W");
  IndexingConnection connection;
  ASSERT_EQ(connection.initialize(2, 7, 29, 1, "tok", "ss1", "ma1", 0), 0);
  ASSERT_FALSE(store.BackupData(connection).IsError());
  std::vector<std::string> names;
  for (const IndexItem& item : Items()) names.push_back(item.Name());
  EXPECT_EQ(names, (std::vector<std::string>{"/W", "/W/.self"}));

  CIndexInfoStore tree(kJob, 2, 7);
  tree.SetDelimiter('\\');
  tree.GetPathBag("A\\B");
  CQiError missing = tree.AddFileContentForKey("A\\C", "/nope");
  EXPECT_TRUE(FXErrorUtil::IsWin32(missing, 1168));
  EXPECT_NE(missing.AsString().find("file '/nope' not found"), std::string::npos);
  std::list<std::string> subPaths;
  ASSERT_FALSE(tree.GetSubPaths("A", subPaths).IsError());
  EXPECT_EQ(subPaths, (std::list<std::string>{"B", "C"}));
  EXPECT_TRUE(FXErrorUtil::IsWin32(tree.SaveToDisk("x"), 50));

  // An item path past the header's name field is cut, zero-terminated.
  CIndexInfoStore deep(kJob, 2, 7);
  deep.SetViewName("D");
  const std::string element(1100, 'x');
  deep.GetPathBag(element);
  ASSERT_FALSE(deep.BackupData(connection).IsError());
  const std::vector<IndexItem> items = Items();
  ASSERT_EQ(items.size(), 6u);
  EXPECT_EQ(items[4].Name(), ("/D/" + element).substr(0, 1027));
  EXPECT_EQ(items[4].Field("namelen"), "1027");
  EXPECT_TRUE(FXErrorUtil::IsWin32(tree.LoadFromDisk("x"), 50));
}

TEST_F(IndexInfoStoreTest, SelfConnectingUploadUsesTheJobsFirstArchiveFile) {
  AddArchiveFile(31);
  AddArchiveFile(30);
  {
    CapturingLog log;
    CIndexInfoStore store(kJob, 2, 7);
    CQiError result = store.BackupData("ss1", "tok", 0);
    ASSERT_FALSE(result.IsError()) << result.AsString();
    EXPECT_TRUE(log.Contains("Using AFile 30 for data store Group 4"));
  }
  std::vector<std::string> others;
  EXPECT_EQ(Items(&others).size(), 2u);
  ASSERT_FALSE(others.empty());
  EXPECT_EQ(others.front(), "afile cell=2 group=4 afile=30 flag=0 time=1700000030 flags=0x0");
  EXPECT_EQ(others.back(), "done");

  // The connection's flags: block-level and metadata backup as configured.
  subclient_.blockLevelFlags |= platform::SubclientRecord::kBlockLevelMetadata;
  ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient_));
  ASSERT_FALSE(CIndexInfoStore(kJob, 2, 7).BackupData("ss1", "tok", 0).IsError());
  subclient_.blockLevelFlags = 0;
  ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient_));
  ASSERT_FALSE(CIndexInfoStore(kJob, 2, 7).BackupData("ss1", "tok", 0).IsError());
  std::vector<std::string> flags;
  for (const platform::IndexConnectionRecord& connection : blbsim::IndexConnectionRecords()) {
    flags.push_back(connection.arguments.substr(connection.arguments.rfind(',') + 1));
    EXPECT_TRUE(connection.done);
    EXPECT_EQ(connection.arguments.rfind("2,7,29,", 0), 0u) << connection.arguments;
  }
  EXPECT_EQ(flags, (std::vector<std::string>{"25", "17", "1"}));
}

TEST_F(IndexInfoStoreTest, FailuresOfTheQueryAndTheItemsEndTheUpload) {
  CIndexInfoStore none(kJob, 2, 7);
  CQiError error = none.BackupData("ss1", "tok", 0);
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1627));
  EXPECT_NE(error.AsString().find("Failed to basic query job info ["), std::string::npos);
  EXPECT_NE(error.AsString().find("No afile results returned for JID [101]"), std::string::npos);
  CQiError unknown = CIndexInfoStore(kJob, 2, 8).BackupData("ss1", "tok", 0);
  EXPECT_TRUE(FXErrorUtil::IsWin32(unknown, 1627));
  EXPECT_NE(unknown.AsString().find("Application type object returned null for vorncell, app id [2, 8]"),
            std::string::npos);
  EXPECT_TRUE(blbsim::IndexConnectionRecords().empty());

  AddArchiveFile(30);
  platform::FaultTable::Set("IndexingConnection::sendMetaDataInfo", 5, platform::FaultMode::kError, 1);
  CIndexInfoStore store(kJob, 2, 7);
  error = store.BackupData("ss1", "tok", 0);
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 109));
  EXPECT_NE(error.AsString().find("Error during send index meta-data (rc=5)"), std::string::npos);
  const std::vector<platform::IndexConnectionRecord> connections = blbsim::IndexConnectionRecords();
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_TRUE(connections[0].done);

  // A header the index refuses ends the walk too; the tree can upload again.
  platform::FaultTable::Set("IndexingConnection::sendFileInfo", 6, platform::FaultMode::kError, 1);
  error = store.BackupData("ss1", "tok", 0);
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 109));
  EXPECT_NE(error.AsString().find("Error during send index meta-data (header) (rc=6)"), std::string::npos);
  EXPECT_FALSE(store.BackupData("ss1", "tok", 0).IsError());
}

}  // namespace
