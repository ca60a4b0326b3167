#include "platform/config/kz_client.h"

#include <gtest/gtest.h>

#include <tuple>

#include "platform/harness/sim_harness.h"
#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

TEST(KZClient, ResolvesTheLocalClientAndOthersByNameOrId) {
  testing_support::ScopedStateDir state;
  const std::string local = KZPI_Focus::getFocusClientName(true);
  EXPECT_EQ(local, "localclient");
  uint64_t id = 0;
  EXPECT_EQ(KZClient(local.c_str(), false, 0).getClientId(id), 0);
  EXPECT_EQ(id, 2u);
  EXPECT_EQ(KZPI_VornClient::getJobResultsDirectory(local).value_or(""), state.Path() + "/jobresults");

  platform::ClientRecord proxy;
  proxy.id = 9;
  proxy.name = "proxy9";
  proxy.hostName = "proxy9.example";
  proxy.jobResultsDir = "/p";
  ASSERT_TRUE(blbsim::AddClient(proxy));
  std::string text;
  EXPECT_EQ(KZClient(9).getjobResultDirectory(text), 0);
  EXPECT_EQ(text, "/p");
  EXPECT_EQ(KZClient(9).getNetworkHostnameMangled(text), 0);
  EXPECT_EQ(text, "proxy9.example");
  EXPECT_NE(KZClient("nobody", false, 0).getClientId(id), 0);
  EXPECT_EQ(id, 0u);
  EXPECT_FALSE(KZPI_VornClient::getJobResultsDirectory("nobody"));

  platform::FaultTable::Set("KZClient::getjobResultDirectory", 5);
  EXPECT_NE(KZClient(9).getjobResultDirectory(text), 0);
}

TEST(KZClient, ByNetworkHostFindsTheClientWhoseMangledOrBareHostItIs) {
  testing_support::ScopedStateDir state;
  for (const auto& [id, name, host] :
       {std::tuple<uint64_t, const char*, const char*>{20, "maclient", "maclient*MA1*8400*0"},
        {21, "later", "ma1"},
        {22, "bare", "ma2.example"},
        {23, "broken", "x*ma3*port*0"}}) {
    platform::ClientRecord client;
    client.id = id;
    client.name = name;
    client.hostName = host;
    ASSERT_TRUE(blbsim::AddClient(client));
  }
  // The lowest id of the clients on a host, its letter case aside.
  EXPECT_EQ(KZClient(2, "ma1", true, 0).getName(), "maclient");
  EXPECT_EQ(KZClient(2, "ma2.example", true, 0).getName(), "bare");
  for (const char* unknown : {"ma3", "maclient", "", "ma"}) EXPECT_EQ(KZClient(2, unknown, true, 0).getName(), "");
  platform::FaultTable::Set("KZClient::getName", 5);
  EXPECT_EQ(KZClient(2, "ma1", true, 0).getName(), "");
}

TEST(KZPI_Base, ProductAndHomeDirectoriesComeFromTheRegistry) {
  testing_support::ScopedStateDir state;
  EXPECT_EQ(KZPI_Base::getTarvosDirectory().value_or(""), state.Path() + "/install");
  EXPECT_EQ(KZPI_Base::getHomeDirectory().value_or(""), state.Path() + "/install/Base");
  ASSERT_TRUE(blbsim::SetRegistryValue("Base", "dAGENTHOME", "/opt/agent"));
  EXPECT_EQ(KZPI_Base::getHomeDirectory().value_or(""), "/opt/agent");
  ASSERT_TRUE(blbsim::RemoveRegistryValue("Base", "dTARVOSHOME"));
  EXPECT_FALSE(KZPI_Base::getTarvosDirectory());
}
