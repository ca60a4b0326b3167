// The items a job publishes over its indexing connection: kept in order
// under the connection's job, read back as the index service would read
// them, refused without an open connection.
#include "platform/indexing/indexing_connection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/harness/job_harness.h"
#include "platform/harness/snap_harness.h"
#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

namespace {

using testing_support::ScopedStateDir;

class IndexingConnectionItems : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::JobRecord job;
    job.jobId = 101;
    job.cellId = 2;
    job.appId = 7;
    job.level = 2;
    job.token = "tok";
    ASSERT_TRUE(blbsim::AddJob(job));
  }

  ScopedStateDir state_;
};

TEST_F(IndexingConnectionItems, EveryKindIsKeptInOrderUnderTheTokensJob) {
  IndexingConnection connection;
  ASSERT_EQ(0, connection.initialize(2, 7, 29, 2, "tok", "ss1", "ss1", 0));
  ArchiveFileId_t afile;
  afile.cellId = 2;
  afile.archiveGroupNumber = 4;
  afile.archiveFileNumber = 503;
  EXPECT_EQ(0, connection.sendAfileInfo(afile, false, 1500, 0x214));
  IndexMetaDataStruct made;  // the length word as made, whatever the value
  made.tag = 0x60512130;
  EXPECT_EQ(0, connection.sendMetaDataInfo(made, "K|a b"));
  IndexMetaDataStruct sized;
  sized.tag = 0x2057F131;
  sized.length = 32;
  EXPECT_EQ(0, connection.sendMetaDataInfo(sized, "Kb"));
  IdxMetadata::IdxMetaData metadata;
  EXPECT_EQ(0, connection.sendMetaDataInfo(metadata));

  CXFileHeader header;
  header.h_namelen = 2000;  // the full length of a name cut to its first 1024 bytes
  header.h_mode = 0x4000;
  header.h_attributes = 1ULL << 44;
  header.h_filesize = 67108864;
  header.h_delimiter = '/';
  header.h_options = 0x3;
  header.SetFileName(std::string(1024, 'n'), 1024);
  EXPECT_EQ(0, connection.sendFileInfo(&header, 0, nullptr, 0));
  EXPECT_EQ(0, connection.updateRestartInfo(~0ULL));
  EXPECT_EQ(0, connection.backupDone(0));

  const std::vector<std::string> items = blbsim::IndexItems(101);
  ASSERT_EQ(7u, items.size());
  EXPECT_EQ("afile cell=2 group=4 afile=503 flag=0 time=1500 flags=0x214", items[0]);
  EXPECT_EQ("meta tag=0x60512130 len=0 value=K|a b", items[1]);
  EXPECT_EQ("meta tag=0x2057F131 len=32 value=Kb", items[2]);
  EXPECT_EQ("idxmeta " + metadata.toString(), items[3]);
  EXPECT_EQ("header name=" + std::string(1024, 'n') +
                " namelen=2000 links=0 mode=0x4000 attrs=0x100000000000 size=67108864 delim=47 opts=0x3 os=0",
            items[4]);
  EXPECT_EQ("restart 0xffffffffffffffff", items[5]);
  EXPECT_EQ("done", items[6]);
  EXPECT_TRUE(blbsim::IndexItems(55).empty());
}

TEST_F(IndexingConnectionItems, ItemsNeedAnOpenConnectionAndEachCallIsFailable) {
  IndexingConnection unopened;
  EXPECT_EQ(87, unopened.updateRestartInfo(1));
  EXPECT_EQ(87, unopened.sendMetaDataInfo(IndexMetaDataStruct(), "x"));

  IndexingConnection connection;
  ASSERT_EQ(0, connection.initialize(2, 7, 29, 2, "tok", "ss1", "ss1", 0));
  platform::FaultTable::Set("IndexingConnection::sendFileInfo", 5);
  CXFileHeader header;
  EXPECT_EQ(5, connection.sendFileInfo(&header, 0, nullptr, 0));
  platform::FaultTable::Set("IndexingConnection::sendAfileInfo", 6);
  EXPECT_EQ(6, connection.sendAfileInfo(ArchiveFileId_t(), false, 0, 0));
  EXPECT_EQ(0, connection.backupDone(0));
  EXPECT_NE(0, connection.updateRestartInfo(1));  // the index is closed
  EXPECT_EQ(std::vector<std::string>{"done"}, blbsim::IndexItems(101));
}

}  // namespace
