#include "platform/config/application_list.h"
#include "platform/harness/sim_harness.h"
#include "pseudosnap/pseudosnap_test_fixtures.h"

namespace {

class OracleRacNodeTest : public pseudosnap_test::PseudoSnapTest {
 public:
  void SetUp() override {
    PseudoSnapTest::SetUp();
    platform::AgentConfigBackend& config = platform::AgentConfig::Current();
    platform::SubclientRecord subclient = *blbsim::FindSubclient(2, 7);
    subclient.appType = 80;
    subclient.instanceId = 5;
    ASSERT_TRUE(config.PutSubclient(subclient));
    ASSERT_TRUE(platform::ApplicationList::Current().PutInstance({5, 2, 80, "ORCL", ""}));
    for (const auto& [id, osId] : {std::pair<uint64_t, int>{31, 49}, {32, 200}}) {
      platform::ClientRecord client;
      client.id = id;
      client.name = "node" + std::to_string(id);
      client.osId = osId;
      ASSERT_TRUE(config.PutClient(client));
    }
    SetOsId(200);
  }
};

TEST_F(OracleRacNodeTest, DestinationIsTheFirstNodesSystem) {
  ASSERT_TRUE(platform::ApplicationList::Current().PutRacNodes(5, {31, 32}));
  COraclePseudoSnapArchiveHandlerPrivate handler;
  CQiError error = Initialize(handler, 80);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_TRUE(log_.Contains("Delimiter=/, DestOsId=49"));

  ASSERT_TRUE(platform::ApplicationList::Current().PutRacNodes(5, {}));
  COraclePseudoSnapArchiveHandlerPrivate nodeless;
  error = Initialize(nodeless, 80);
  EXPECT_TRUE(log_.Contains("Error getting RAC node list"));
  EXPECT_EQ(FXErrorUtil::GetCode(error), -1);
  EXPECT_NE(error.AsString().find("Invalid OS Id, ClientId=2, OSId=-1"), std::string::npos) << error.AsString();
}

}  // namespace
