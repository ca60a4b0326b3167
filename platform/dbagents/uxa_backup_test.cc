#include "platform/dbagents/uxa_backup.h"

#include <gtest/gtest.h>

#include "platform/harness/application_harness.h"
#include "platform/messages/uxa_messages.h"
#include "support/test_platform.h"

namespace {

using Uxa::OraDatabaseContent;

// Table spaces as lists of their data files' paths.
std::vector<std::vector<std::string>> Paths(const std::vector<CNMessageBase>& tableSpaces) {
  std::vector<std::vector<std::string>> all;
  for (const CNMessageBase& tableSpace : tableSpaces) {
    all.emplace_back();
    for (const CNMessageBase& file : tableSpace.getlistobject(8, 14)) all.back().push_back(file.getstring(1, 1));
  }
  return all;
}

}  // namespace

TEST(UxaBackup, RepliesGroupTheInstancesFilesByDatabaseAndTableSpace) {
  testing_support::ScopedStateDir dir;
  for (const platform::OracleFileRecord& file : {platform::OracleFileRecord{21, "P1", "T1", "/a"},
                                                 {21, "P2", "T2", "/b"},
                                                 {21, "P1", "T1", "/c"},
                                                 {21, "", "SYSTEM", "/d"},
                                                 {21, "P1", "T3", "/e"},
                                                 {22, "", "SYSTEM", "/other"}})
    ASSERT_TRUE(blbsim::AddOracleFile(file));

  OraDatabaseContent content;
  content.setint64(1, 1, 21);
  content.setint64(3, 3, 51);
  content.setint64(5, 5, 5);
  ASSERT_EQ(UxaBackup::getDatabaseContent(22, 0, content), 0);
  const std::vector<CNMessageBase> pdbs = content.getlistobject(7, 7);
  ASSERT_EQ(pdbs.size(), 2u);
  EXPECT_EQ(Paths(pdbs[0].getlistobject(3, 9)), (std::vector<std::vector<std::string>>{{"/a", "/c"}, {"/e"}}));
  EXPECT_EQ(Paths(pdbs[1].getlistobject(3, 9)), (std::vector<std::vector<std::string>>{{"/b"}}));
  EXPECT_EQ(Paths(content.getlistobject(6, 6)), (std::vector<std::vector<std::string>>{{"/d"}}));
  EXPECT_EQ(content.getint64(8, 8), 0);

  // Without pluggable databases only the own list; the status is the instance's.
  ASSERT_TRUE(blbsim::SetOracleStatus(22, 7));
  OraDatabaseContent other;
  other.setint64(1, 1, 22);
  ASSERT_EQ(UxaBackup::getDatabaseContent(80, 0, other), 0);
  EXPECT_FALSE(other.isSet(7, 7));
  EXPECT_EQ(Paths(other.getlistobject(6, 6)), (std::vector<std::vector<std::string>>{{"/other"}}));
  EXPECT_EQ(other.getint64(8, 8), 7);

  const std::vector<platform::OracleContentRequest> requests = blbsim::OracleRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].appType, 22u);
  EXPECT_EQ(requests[0].instanceId, 21);
  EXPECT_EQ(requests[0].appId, 51);
  EXPECT_EQ(requests[0].kind, 5);
  EXPECT_EQ(requests[1].appType, 80u);

  Uxa::OraPDB wrongType;
  EXPECT_EQ(UxaBackup::getDatabaseContent(22, 0, wrongType), -1);
}
