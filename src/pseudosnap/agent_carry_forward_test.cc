#include "pseudosnap/agent_carry_forward.h"

#include "platform/config/application_list.h"
#include "platform/harness/index_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/indexing/index_agent_entries.h"
#include "platform/indexing/index_request_log.h"
#include "platform/indexing/scripted_replies.h"
#include "platform/sim/fault_table.h"
#include "platform/time/sleep.h"
#include "pseudosnap/pseudosnap_test_fixtures.h"

namespace {

using ViewEntry = databrowse::ViewIdComponentIdToAfileMap;
using PathEntry = databrowse::PathToAfileMap;

// A variant with the state the hook reads, as the carry-forward run leaves it.
template <typename Variant>
class Hook : public Variant {
 public:
  Hook(uint32_t appType) {
    this->m_nVornCellId = 2;
    this->m_nAppId = 7;
    this->m_nAppType = appType;
    this->m_eBackupLevel = KZ_BKP_LEVEL_INCREMENTAL;
    this->m_mSnapToPseudoArchFileMap = {{501, 503}, {502, 504}};
    PathEntry path;
    path.setstring(path.kPath.number, path.kPath.tag, "/u01");
    path.setint64(path.kArchFileId.number, path.kArchFileId.tag, 503);
    path.setint64(path.kArchGroupId.number, path.kArchGroupId.tag, 4);
    path.setint64(path.kArchFileFlags.number, path.kArchFileFlags.tag, 9);
    path.setint64(path.kArchFileValue.number, path.kArchFileValue.tag, 77);
    ViewEntry first;
    first.setlistobject(first.kPaths.number, first.kPaths.tag, {path});
    this->m_GuidToAfileMapVector = {first};
  }
  CQiError Run() { return this->AppendAgentCarryFwdIndex(databrowse::BrowseTimeRange()); }

  // The entries the hook appended: "view|component|path>afile/group/flags/value;...".
  std::vector<std::string> Appended() const {
    std::vector<std::string> texts;
    for (size_t i = 1; i < this->m_GuidToAfileMapVector.size(); ++i) {
      const ViewEntry& entry = this->m_GuidToAfileMapVector[i];
      std::string text = entry.getstring(entry.kViewName.number, entry.kViewName.tag) + "|" +
                         entry.getstring(entry.kComponentId.number, entry.kComponentId.tag) + "|";
      for (const CNMessageBase& path : entry.getlistobject(entry.kPaths.number, entry.kPaths.tag)) {
        text += path.getstring(PathEntry::kPath.number, PathEntry::kPath.tag) + ">";
        for (const CNFieldId& field :
             {PathEntry::kArchFileId, PathEntry::kArchGroupId, PathEntry::kArchFileFlags, PathEntry::kArchFileValue})
          text += std::to_string(path.getint64(field.number, field.tag)) + "/";
        text += ";";
      }
      texts.push_back(text);
    }
    return texts;
  }
};

class AgentCarryForwardTest : public pseudosnap_test::PseudoSnapTest {
 public:
  void SetUp() override {
    PseudoSnapTest::SetUp();
    platform::SubclientRecord subclient = *blbsim::FindSubclient(2, 7);
    subclient.instanceId = 5;
    ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
    ASSERT_TRUE(platform::ApplicationList::Current().PutInstance({5, 2, 22, "ORCL", ""}));
    platform::ClearRequestedSleeps();
  }

  void OracleEntries(int64_t data = 501, int64_t logs = 502) {
    pseudosnap_test::PutAgentEntry("/ORCL/system01.dbf", data);
    pseudosnap_test::PutAgentEntry("/ORCL/redo01.log", logs);
  }

  void PostgresEntries(int64_t second = 502) {
    pseudosnap_test::PutAgentEntry("/pg1", 501, "", "G1", true);
    pseudosnap_test::PutAgentEntry("/pg2", second, "", "G2", true);
    pseudosnap_test::PutAgentEntry("/TblView", 501);
    pseudosnap_test::PutAgentEntry("/+DBDIR+", 501);
  }

  // Queues replies of the given code (none: a reply without responses).
  static void QueueReplies(int count, std::optional<int64_t> code) {
    databrowse::BrowseResponseList list;
    if (code) {
      databrowse::BrowseResponse response;
      response.setint64(response.kType.number, response.kType.tag, *code);
      list.setlistobject(list.kResponses.number, list.kResponses.tag, {response});
    }
    platform::ScriptedReply reply;
    list.serialize(reply.reply, false);
    for (int i = 0; i < count; ++i) ASSERT_TRUE(platform::QueueScriptedReply(reply, nullptr));
  }
};

TEST_F(AgentCarryForwardTest, OracleAppendsOneTableViewThenTheDataFiles) {
  OracleEntries();
  pseudosnap_test::PutAgentEntry("/TblView/ORCL/USERS", 501, "TABLEVIEW");
  pseudosnap_test::PutAgentEntry("/TblView/ORCL/TEMP", 502, "TABLEVIEW");
  Hook<COraclePseudoSnapArchiveHandlerPrivate> hook(22);
  CQiError error = hook.Run();
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(hook.Appended(),
            (std::vector<std::string>{"TABLEVIEW|default|/>504/4/9/77/;",
                                      "default|default|/ORCL/redo01.log>504/4/9/77/;/ORCL/system01.dbf>503/4/9/77/;"}));

  EXPECT_TRUE(log_.Contains("TblView Added, not parsing remaining tblview items"));
}

TEST_F(AgentCarryForwardTest, PostgresAppendsEachMountPointThenTheTableView) {
  PostgresEntries();
  Hook<CPostGresPseudoSnapArchiveHandlerPrivate> hook(125);
  CQiError error = hook.Run();
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(hook.Appended(),
            (std::vector<std::string>{"default|G1|/pg1>503/3/4/77/;", "default|G2|/pg2>504/3/4/77/;",
                                      "TABLEVIEW|default|/TblView>504/3/4/77/;/+DBDIR+>504/3/4/77/;"}));
}

// The index reads the query's paging from a member of the type it knows:
// each browse of both hooks, as the index received it, asks for every item.
TEST_F(AgentCarryForwardTest, BothHooksAskTheIndexForEveryItemInTheQuerysDataMember) {
  OracleEntries();
  PostgresEntries();
  ASSERT_TRUE(platform::ClearIndexRequests());
  ASSERT_FALSE(Hook<COraclePseudoSnapArchiveHandlerPrivate>(22).Run().IsError());
  ASSERT_FALSE(Hook<CPostGresPseudoSnapArchiveHandlerPrivate>(125).Run().IsError());
  size_t browses = 0;
  for (const platform::IndexRequestRecord& record : blbsim::IndexRequests()) {
    if (record.call != "Browse") continue;
    ++browses;
    SCOPED_TRACE(record.request);
    databrowse::BrowseRequest request;
    ASSERT_EQ(request.unserialize(record.request), 0);
    const std::vector<CNMessageBase> queries = request.getlistobject(12, 12);
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0].getint64(1, 1), 0);
    EXPECT_EQ(queries[0].getstring(2, 2), "0");
    CNMessageBase member, paging;
    ASSERT_TRUE(queries[0].getObjectAccessor(5, 8, member));
    EXPECT_EQ(std::make_pair(member.getModule(), member.getType()), std::make_pair(100, 71));
    ASSERT_TRUE(member.getObjectAccessor(2, 2, paging));
    EXPECT_EQ(std::make_pair(paging.getModule(), paging.getType()), std::make_pair(100, 6));
    EXPECT_EQ(paging.getuint64(3, 3), 4294967295u);
  }
  EXPECT_EQ(browses, 3u);  // the Oracle hook's two path lists, the PostgreSQL hook's root
}

TEST_F(AgentCarryForwardTest, PartialRepliesAreRetriedAfterThirtySeconds) {
  OracleEntries();
  QueueReplies(3, pseudosnap::kBrowseCodeRetry);
  Hook<COraclePseudoSnapArchiveHandlerPrivate> hook(22);
  CQiError error = hook.Run();
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(platform::RequestedSleeps(), (std::vector<long long>{30000, 30000, 30000}));
  // No table-view entry: the "nothing found" answer is no failure.
  EXPECT_EQ(hook.Appended().size(), 1u);
}

TEST_F(AgentCarryForwardTest, FailuresOfBothHooks) {
  struct Case {
    const char* name;
    uint32_t appType;
    std::function<void()> setUp;
    std::string message;
    size_t sleeps;
  };
  const Case cases[] = {
      {"oracle: five partial replies", 22, [this] { OracleEntries(), QueueReplies(5, 2); },
       "Error Updating index,query resulted empty result set", 4},
      {"postgres: five partial replies", 125, [this] { PostgresEntries(), QueueReplies(5, 2); },
       "Error Updating index,query resulted empty result set", 4},
      {"oracle: a reply without responses", 22, [this] { OracleEntries(), QueueReplies(1, std::nullopt); },
       "Browsing index failed", 0},
      {"postgres: an error reply", 125, [this] { PostgresEntries(), QueueReplies(1, 3); },
       "Error Updating index,query resulted empty result set", 0},
      {"oracle: no data file on a pseudo archive file", 22, [this] { OracleEntries(99, 99); },
       "Snap shot index copying to backup copy failed", 0},
      {"postgres: a mount point without pseudo archive file", 125, [this] { PostgresEntries(99); },
       "Error getting archive file and/or component gui for /pg2", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::ScopedStateDir state;
    platform::ClearRequestedSleeps();
    ASSERT_TRUE(platform::ApplicationList::Current().PutInstance({5, 2, 22, "ORCL", ""}));
    platform::SubclientRecord subclient;
    subclient.cellId = 2;
    subclient.appId = 7;
    subclient.clientId = 2;
    subclient.appType = c.appType;
    subclient.instanceId = 5;
    ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
    for (int64_t id : {501, 502, 99}) {
      platform::ArchiveFileRecord file;
      file.archFileId = static_cast<uint64_t>(id);
      file.jobId = 55;
      file.appId = 7;
      file.cellId = 2;
      file.archFileType = 6;
      ASSERT_TRUE(platform::ArchiveManager::Current().Put(file));
    }
    c.setUp();
    CQiError error;
    if (c.appType == 22) {
      Hook<COraclePseudoSnapArchiveHandlerPrivate> hook(c.appType);
      error = hook.Run();
    } else {
      Hook<CPostGresPseudoSnapArchiveHandlerPrivate> hook(c.appType);
      error = hook.Run();
    }
    EXPECT_EQ(FXErrorUtil::GetCode(error), -1);
    EXPECT_NE(error.AsString().find(c.message), std::string::npos) << error.AsString();
    EXPECT_EQ(platform::RequestedSleeps().size(), c.sleeps);
  }
  EXPECT_TRUE(log_.Contains("BrowseRetry count reached max (5). Return error"));
  EXPECT_TRUE(log_.Contains("could not find equivalent pseudo archfile for 99"));
}

// The PostgreSQL hook reports a failing index client as an error, the
// Oracle hook only as a debug line.
TEST_F(AgentCarryForwardTest, ClientFailuresAreErrorsOnlyForPostgres) {
  struct Case {
    uint32_t appType;
    const char* call;
    const char* line;
  };
  const Case cases[] = {
      {22, "IdxBrowseClient::Initialize", "Error initializing browse request with VornServe"},
      {22, "IdxBrowseClient::Browse", "Error doing browse operation: check Browse.log on Stowhost"},
      {125, "IdxBrowseClient::Initialize", "Error initializing browse request with VornServe"},
      {125, "IdxBrowseClient::Browse", "Error doing browse operation: check Browse.log on Stowhost"},
  };
  OracleEntries();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " of " + std::to_string(c.appType));
    log_.Clear();
    platform::FaultTable::Set(c.call, -1);
    CQiError error = c.appType == 22 ? Hook<COraclePseudoSnapArchiveHandlerPrivate>(22).Run()
                                     : Hook<CPostGresPseudoSnapArchiveHandlerPrivate>(125).Run();
    platform::FaultTable::Clear(c.call);
    EXPECT_EQ(FXErrorUtil::GetCode(error), -1);
    const std::string level = c.appType == 125 ? "[-1] " : "[0] ";
    EXPECT_TRUE(log_.Contains(level + "BrowseWithRetry: " + c.line)) << testing::PrintToString(log_.Lines());
  }
}

}  // namespace
