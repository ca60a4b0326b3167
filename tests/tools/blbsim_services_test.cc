// The service verbs of the harness, run as an engineer would.
#include <gtest/gtest.h>

#include <string>

#include "platform/services/archive_manager.h"
#include "platform/services/index_files.h"
#include "platform/services/subclient.h"
#include "support/blbsim_command.h"
#include "support/test_platform.h"

using testing_support::RunBlbsim;

TEST(blbsim, SeedsProxiesArchiveFilesAndIndexFilesAndShowsTransfers) {
  testing_support::ScopedStateDir scope;
  const std::string dir = scope.Path();
  ASSERT_EQ(RunBlbsim(dir, "client 9 proxy9 proxy9*proxy9.example*0*0 /P"), 0);
  ASSERT_EQ(RunBlbsim(dir, "subclient 2 5 2"), 0);
  ASSERT_EQ(RunBlbsim(dir, "proxy 2 5 9 1"), 0);
  EXPECT_EQ(RunBlbsim(dir, "proxy 2 6 9"), 1);
  // A mistyped number is refused rather than read as 0 (no proxy).
  EXPECT_EQ(RunBlbsim(dir, "proxy 2 5 nine"), 2);
  EXPECT_EQ(RunBlbsim(dir, "proxy 2 5 9x 1"), 2);
  uint64_t proxy = 0;
  ASSERT_NE(ApplicationId(2, 5).getSubclient(nullptr), nullptr);
  EXPECT_EQ(ApplicationId(2, 5).getSubclient(nullptr)->getProxyClientId(proxy, nullptr), 0);
  EXPECT_EQ(proxy, 9u);

  ASSERT_EQ(RunBlbsim(dir, "afile add 31 12 5 2 4 1 1000 ma1"), 0);
  EXPECT_EQ(RunBlbsim(dir, "afile add 32 12 5 2 4 1 -1000 ma1"), 2);
  std::string out;
  ASSERT_EQ(RunBlbsim(dir, "afile list", &out), 0);
  EXPECT_EQ(out, "afile=31 job=12 app=5 cell=2 type=4 cycle=1 created=1000 host=ma1\n");

  testing_support::WriteFile(scope.Sub("in/12_BlockDeviceConfig.kzf"), "cfg");
  ASSERT_EQ(
      RunBlbsim(dir, "index add ma1 2 5 12 " + scope.Sub("in/12_BlockDeviceConfig.kzf") + " 12_BlockDeviceConfig.kzf 500"),
      0);
  ASSERT_EQ(RunBlbsim(dir, "index list", &out), 0);
  EXPECT_EQ(out, "ma1 2/5 job=12 12_BlockDeviceConfig.kzf stored=500\n");
  std::list<std::string> patterns = {"*BlockDeviceConfig.kzf"};
  EXPECT_EQ(GetIndexFiles("ma1", 2, 5, 600, 12, 0, 1, scope.Sub("jobresults"), &patterns, nullptr), 0);
  EXPECT_EQ(testing_support::ReadFile(scope.Sub("jobresults/12_BlockDeviceConfig.kzf")), "cfg");

  ASSERT_EQ(RunBlbsim(dir, "hostname demangle proxy9*proxy9.example*8400*0", &out), 0);
  EXPECT_EQ(out, "client=proxy9 host=proxy9.example port=8400 flags=0 folder=" + dir + "/hosts/proxy9.example\n");
  EXPECT_EQ(RunBlbsim(dir, "hostname demangle a*b"), 1);
  ASSERT_EQ(RunBlbsim(dir, "transfers", &out), 0);
  EXPECT_EQ(out, "");
}
