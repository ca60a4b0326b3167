// The clients' flags, the application list's queries and the application
// objects made from its texts.
#include <gtest/gtest.h>

#include "platform/config/client_application_list.h"
#include "platform/config/kz_client.h"
#include "platform/dbagents/instance.h"
#include "platform/harness/application_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/registry/kz_platform_info.h"
#include "platform/services/fs_subclient_conf.h"
#include "platform/services/subclient.h"
#include "support/test_platform.h"

namespace {

platform::ClientRecord Client(uint64_t id, const std::string& name, bool active, bool isVirtual) {
  platform::ClientRecord client;
  client.id = id;
  client.name = name;
  client.active = active;
  client.isVirtual = isVirtual;
  return client;
}

}  // namespace

TEST(ApplicationList, ActiveAndVirtualClients) {
  testing_support::ScopedStateDir dir;
  ASSERT_TRUE(blbsim::AddClient(Client(9, "node9", true, false)));
  ASSERT_TRUE(blbsim::AddClient(Client(7, "cluster7", true, true)));
  ASSERT_TRUE(blbsim::AddClient(Client(3, "idle3", false, false)));
  std::list<std::string> names{"stale"};
  EXPECT_EQ(KZPlatformInfo::getActiveClientList(names), 0);
  EXPECT_EQ(names, (std::list<std::string>{"localclient", "cluster7", "node9"}));

  bool isVirtual = false;
  EXPECT_EQ(ClientProperties(7).isVirtualClient(isVirtual, nullptr), 0);
  EXPECT_TRUE(isVirtual);
  EXPECT_EQ(ClientProperties(9).isVirtualClient(isVirtual, nullptr), 0);
  EXPECT_FALSE(isVirtual);
  EXPECT_NE(ClientProperties(4).isVirtualClient(isVirtual, nullptr), 0);
  uint64_t id = 0;
  EXPECT_EQ(KZClient("cluster7", KZ_NAME_TYPE_CLIENT_NAME, 0, nullptr).getClientId(id, nullptr), 0);
  EXPECT_EQ(id, 7u);
}

TEST(ApplicationList, QueriesAndTheApplicationsTheirTextsName) {
  testing_support::ScopedStateDir dir;
  ASSERT_TRUE(blbsim::SetApplicationTypes(2, {{29, "File System"}, {22, "Oracle"}}));
  for (uint64_t instance : {0, 3, 4}) ASSERT_TRUE(blbsim::AddBackupSet({10 + instance, 2, 29, instance, "bs"}));
  ASSERT_TRUE(blbsim::AddInstance({21, 2, 22, "orcl", ""}));
  platform::SubclientRecord oracle;
  oracle.cellId = 2;
  oracle.appId = 51;
  oracle.clientId = 2;
  oracle.appType = 22;
  oracle.instanceId = 21;
  ASSERT_TRUE(blbsim::AddSubclient(oracle));
  oracle.appId = 52;
  oracle.plainSubclient = true;
  ASSERT_TRUE(blbsim::AddSubclient(oracle));

  std::vector<uint64_t> ids;
  std::vector<std::string> names;
  std::vector<uint64_t> flags;
  ASSERT_EQ(ClientApplicationList::getApplicationTypes(ids, names, 2, nullptr, 1), 0);
  EXPECT_EQ(ids, (std::vector<uint64_t>{29, 22}));
  EXPECT_EQ(names, (std::vector<std::string>{"File System", "Oracle"}));
  ASSERT_EQ(ClientApplicationList::getBackupSetList(ids, names, flags, 2, 29, 3, nullptr, 13), 0);
  EXPECT_EQ(ids, (std::vector<uint64_t>{10, 13}));
  EXPECT_EQ(flags.size(), 2u);

  std::vector<std::string> texts;
  ASSERT_EQ(ClientApplicationList::getApplications(texts, 2, 2, 22, 21, 0, nullptr, false), 0);
  ASSERT_EQ(texts.size(), 2u);
  ApplicationId first(texts[0]);
  unsigned long appId = 0;
  EXPECT_EQ(first.getAppId(appId, nullptr), 0);
  EXPECT_EQ(appId, 51u);
  EXPECT_NE(dynamic_cast<OracleBackpack*>(first.getSubclient(nullptr)), nullptr);
  ASSERT_NE(first.getInstance(nullptr), nullptr);
  EXPECT_EQ(first.getInstance(nullptr)->getInstanceId(), 21u);
  ApplicationId second(texts[1]);
  ASSERT_NE(second.getSubclient(nullptr), nullptr);
  EXPECT_EQ(dynamic_cast<OracleBackpack*>(second.getSubclient(nullptr)), nullptr);

  for (const char* unreadable : {"", "2", "2:", ":51", "2:51x", "-2:51"}) {
    ApplicationId application{std::string(unreadable)};
    EXPECT_NE(application.getAppId(appId, nullptr), 0) << unreadable;
    EXPECT_EQ(application.getSubclient(nullptr), nullptr) << unreadable;
  }
  EXPECT_EQ(ApplicationId(2, 99).getInstance(nullptr), nullptr);
  EXPECT_NE(ApplicationId(2, 99).getApplicationId(nullptr), 0);

  const std::vector<platform::ApplicationListCall> calls = blbsim::ApplicationListCalls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].call, "getBackupSetList");
  EXPECT_EQ(calls[1].clientId, 2u);
  EXPECT_EQ(calls[1].appType, 29u);
}

TEST(ApplicationList, FileSystemSubclientContentsInOrder) {
  testing_support::ScopedStateDir dir;
  platform::SubclientRecord subclient;
  subclient.cellId = 2;
  subclient.appId = 7;
  subclient.clientId = 2;
  ASSERT_TRUE(blbsim::AddSubclient(subclient));
  ASSERT_TRUE(blbsim::SetSubclientContents(2, 7, {"/z", "/a", "/m"}));

  struct Lines : FSCallback {
    int putLine(const char* line) override {
      lines.emplace_back(line);
      return lines.size() < refuseAt ? 0 : 1;
    }
    std::vector<std::string> lines;
    size_t refuseAt = 100;
  } lines;
  FSSubclientConf configuration;
  EXPECT_LT(configuration.dirnames(&lines, "sc7"), 0);  // nothing loaded
  ApplicationId unknown(2, 8);
  EXPECT_LT(configuration.load(&unknown, 0), 0);
  ApplicationId application(2, 7);
  ASSERT_EQ(configuration.load(&application, 0), 0);
  ASSERT_EQ(configuration.dirnames(&lines, "sc7"), 0);
  EXPECT_EQ(lines.lines, (std::vector<std::string>{"/z", "/a", "/m"}));

  // A callback that refuses a line ends the listing there.
  lines.lines.clear();
  lines.refuseAt = 2;
  EXPECT_LT(configuration.dirnames(&lines, "sc7"), 0);
  EXPECT_EQ(lines.lines.size(), 2u);
}
