#include <gtest/gtest.h>

#include "blocklevel/blocklevel.h"
#include "devconfig/devconfig_test_fixtures.h"
#include "devconfig/kz_device_config_handler.h"
#include "devconfig/remote_index_handler.h"
#include "platform/harness/services_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/services/host_name.h"
#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

using devconfig_test::Job;
using testing_support::CapturingLog;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScopedStateDir;
using testing_support::WriteFile;

namespace {

// Client 9 is the proxy; subclient 2/5 of this machine (client 2) uses it.
void AddProxy(const std::string& jobResults, const std::string& installDir, bool useSource) {
  platform::ClientRecord proxy;
  proxy.id = 9;
  proxy.name = "proxy9";
  proxy.hostName = platform::MangleHostName("proxy9", "proxy9.example");
  proxy.jobResultsDir = jobResults;
  proxy.installDir = installDir;
  ASSERT_TRUE(blbsim::AddClient(proxy));
  platform::SubclientRecord subclient;
  subclient.cellId = 2;
  subclient.appId = 5;
  subclient.clientId = 2;
  subclient.proxyClientId = 9;
  subclient.useSource = useSource;
  ASSERT_TRUE(blbsim::AddSubclient(subclient));
}

std::string OnProxy(const std::string& path) {
  return blbsim::HostFolder("proxy9.example") + path;
}

}  // namespace

TEST(PutConfigFiles, ShipsTheConfigurationToTheProxysJobResults) {
  ScopedStateDir state;
  const std::string dir = state.Sub("jobresults");
  WriteFile(dir + "/BlockDeviceConfig.kzf", "main");
  AddProxy("P", "/opt/agent", false);
  {
    KzDeviceConfigHandler handler(Job(dir));
    ASSERT_FALSE(handler.PutConfigFiles().IsError());
    EXPECT_EQ(ReadFile(OnProxy("/P/2/5/BlockDeviceConfig.kzf")), "main");
    EXPECT_FALSE(FileExists(OnProxy("/P/2/5/BlockDeviceConfigExt.kzf")));
  }
  WriteFile(dir + "/BlockDeviceConfigExt.kzf", "ext");
  {
    KzDeviceConfigHandler handler(Job(dir));
    ASSERT_FALSE(handler.PutConfigFiles().IsError());
    EXPECT_EQ(ReadFile(OnProxy("/P/2/5/BlockDeviceConfigExt.kzf")), "ext");
  }
  std::vector<platform::TransferRecord> transfers = blbsim::Transfers();
  ASSERT_EQ(transfers.size(), 3u);
  EXPECT_EQ(transfers[2].destination, "P/2/5/BlockDeviceConfigExt.kzf");
  EXPECT_EQ(transfers[2].source, dir + "/BlockDeviceConfigExt.kzf");

  // A job-results directory ending in "/" gets the ids appended directly.
  AddProxy("/results/", "/opt/agent", false);
  KzDeviceConfigHandler slash(Job(dir));
  ASSERT_FALSE(slash.PutConfigFiles().IsError());
  EXPECT_TRUE(FileExists(OnProxy("/results/2/5/BlockDeviceConfig.kzf")));
}

TEST(PutConfigFiles, KeepsTheFilesOnTheSourceWhenThereIsNoProxyOrItIsTheSource) {
  ScopedStateDir state;
  CapturingLog log;
  const std::string dir = state.Sub("jobresults");
  WriteFile(dir + "/BlockDeviceConfig.kzf", "main");
  KzDeviceConfigHandler noSubclient(Job(dir));
  EXPECT_EQ(noSubclient.PutConfigFiles().GetMessage(), "Failed to get subclient instanace for (2/5)");

  AddProxy("P", "", false);
  ASSERT_TRUE(blbsim::SetProxy(2, 5, 0, false));
  KzDeviceConfigHandler handler(Job(dir));
  ASSERT_FALSE(handler.PutConfigFiles().IsError());
  EXPECT_TRUE(log.Contains("Proxy host not configured, config files will be kept on source"));
  ASSERT_TRUE(blbsim::SetProxy(2, 5, 2, false));
  ASSERT_FALSE(handler.PutConfigFiles().IsError());
  EXPECT_TRUE(log.Contains("Proxy host configured as source client, no files to copy"));
  // Each call adds the configuration file to the list again.
  EXPECT_EQ(handler.GetFileList().size(), 2u);
  EXPECT_TRUE(blbsim::Transfers().empty());

  ASSERT_TRUE(blbsim::SetProxy(2, 5, 9, false));
  platform::FaultTable::Set("KZPI_Focus::getFocusClientName", 1);
  CQiError noSource = handler.PutConfigFiles();
  EXPECT_TRUE(FXErrorUtil::IsErrNo(noSource, 774));
  EXPECT_EQ(noSource.GetMessage(), "Failed to get source client ID for client name=");
  platform::FaultTable::ClearAll();
  platform::FaultTable::Set("KZClient::getNetworkHostnameMangled", 1);
  EXPECT_EQ(handler.PutConfigFiles().GetMessage(), "Failed to get client mangled name for clientID=[9]");
}

TEST(PutConfigFiles, FailedTransfersFailOnlyWithoutUseSource) {
  ScopedStateDir state;
  CapturingLog log;
  const std::string dir = state.Sub("jobresults");
  WriteFile(dir + "/BlockDeviceConfig.kzf", "main");
  AddProxy("P", "/opt/agent", false);
  KzDeviceConfigHandler handler(Job(dir));
  platform::FaultTable::Set("KzCopyFile::CopyFiles", 5);
  CQiError failed = handler.PutConfigFiles();
  EXPECT_EQ(FXErrorUtil::GetCode(failed), -1);
  EXPECT_EQ(failed.GetMessage(), "Failed to send config files");

  ASSERT_TRUE(blbsim::SetProxy(2, 5, 9, true));
  EXPECT_FALSE(handler.PutConfigFiles().IsError());
  EXPECT_TRUE(log.Contains("will keep them on source"));
  // A use-source answer that cannot be had counts as yes.
  ASSERT_TRUE(blbsim::SetProxy(2, 5, 9, false));
  platform::FaultTable::Set("Subclient::getUseSource", 5);
  EXPECT_FALSE(handler.PutConfigFiles().IsError());
  platform::FaultTable::ClearAll();

  // A failed connection is only logged: the copy then fails on its own.
  platform::FaultTable::Set("KzCopyFile::GetConnection", 111);
  EXPECT_EQ(handler.PutConfigFiles().GetMessage(), "Failed to send config files");
  EXPECT_TRUE(log.Contains("failed to connect to QM to send dirchange files"));
  EXPECT_TRUE(blbsim::Transfers().empty());
}

TEST(PutConfigFiles, FallsBackToTheProxysInstallDirectoryAndRefusesOverlongPaths) {
  ScopedStateDir state;
  const std::string dir = state.Sub("jobresults");
  WriteFile(dir + "/BlockDeviceConfig.kzf", "main");
  // An empty job-results directory counts as unknown, like a failed query.
  AddProxy("", "/opt/agent", false);
  KzDeviceConfigHandler handler(Job(dir));
  ASSERT_FALSE(handler.PutConfigFiles().IsError());
  EXPECT_EQ(ReadFile(OnProxy("/opt/agent/Temp/BlockDeviceConfig.kzf")), "main");

  AddProxy("P", "/opt/other/", false);
  platform::FaultTable::Set("KZClient::getjobResultDirectory", 1);
  KzDeviceConfigHandler queryFailed(Job(dir));
  ASSERT_FALSE(queryFailed.PutConfigFiles().IsError());
  EXPECT_TRUE(FileExists(OnProxy("/opt/other/Temp/BlockDeviceConfig.kzf")));
  platform::FaultTable::Set("KZClient::getInstallDirectory", 1);
  CQiError nowhere = queryFailed.PutConfigFiles();
  EXPECT_TRUE(FXErrorUtil::IsErrNo(nowhere, 2));
  EXPECT_EQ(nowhere.GetMessage(), "Failed to locate JobResults on Proxy ClientID=[9]");
  platform::FaultTable::ClearAll();

  const size_t before = blbsim::Transfers().size();
  AddProxy("/" + std::string(1030, 'p'), "/opt/agent", true);
  KzDeviceConfigHandler longDestination(Job(dir));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(longDestination.PutConfigFiles(), 22));
  AddProxy("P", "/opt/agent", true);
  const std::string longDir = dir + "/" + std::string(1020, 'd');  // refused before anything is read
  KzDeviceConfigHandler longSource(Job(longDir));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(longSource.PutConfigFiles(), 22));
  EXPECT_EQ(blbsim::Transfers().size(), before);
}
