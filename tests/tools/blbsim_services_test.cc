// The service verbs of the harness, run as an engineer would.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
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
  ASSERT_EQ(RunBlbsim(dir, "index add ma1 2 5 12 " + scope.Sub("in/12_BlockDeviceConfig.kzf") +
                               " 12_BlockDeviceConfig.kzf 500"),
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

TEST(blbsim, SeedsAJsonDocumentAndDumpsItBack) {
  testing_support::ScopedStateDir scope;
  const std::string seed = scope.Sub("seed.json");
  const std::string archive =
      R"({"archive_manager": {"archive_files": [)"
      R"({"afile_id": 31, "job_id": 12, "app_id": 5, "cell_id": 2, "afile_type": 4, "cycle_number": 3, )"
      R"("create_time": 1700000000, "storage_host": "ma1", "copy_id": 3, "group_id": 4, "flags": 0, "level": 2}, )"
      R"({"afile_id": 32, "job_id": 12, "app_id": 5, "cell_id": 2, "afile_type": 1, "cycle_number": 3, )"
      R"("create_time": 1700000100, "storage_host": "ma1", "copy_id": 0, "group_id": 0, "flags": 8, "level": 1}]}})";
  std::string out;

  // One misspelt key anywhere: exit 2, its path named, nothing written.
  std::string misspelt = archive;
  misspelt.replace(misspelt.rfind("\"storage_host\": \"ma1\""), 14, "\"storage_hots\"");
  testing_support::WriteFile(seed, misspelt);
  EXPECT_EQ(RunBlbsim(scope.Path(), "seed " + seed, &out), 2);
  EXPECT_NE(out.find("$.archive_manager.archive_files[1].storage_hots: unknown key"), std::string::npos) << out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "afile list", &out), 0);
  EXPECT_EQ(out, "");

  testing_support::WriteFile(seed, archive);
  ASSERT_EQ(RunBlbsim(scope.Path(), "seed " + seed, &out), 0) << out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "dump archive_manager", &out), 0) << out;
  EXPECT_EQ(nlohmann::json::parse(out), nlohmann::json::parse(archive));
  // The dump seeds the same rows again.
  testing_support::WriteFile(seed, out);
  ASSERT_EQ(RunBlbsim(scope.Path(), "seed " + seed, &out), 0) << out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "afile list", &out), 0);
  EXPECT_EQ(out,
            "afile=31 job=12 app=5 cell=2 type=4 cycle=3 created=1700000000 host=ma1\n"
            "afile=32 job=12 app=5 cell=2 type=1 cycle=3 created=1700000100 host=ma1\n");
  // A number beyond a double's range is refused at its place as well, and
  // the rows seeded before stay.
  std::string overflowing = archive;
  overflowing.replace(overflowing.rfind("1700000100"), 10, "1e400");
  testing_support::WriteFile(seed, overflowing);
  EXPECT_EQ(RunBlbsim(scope.Path(), "seed " + seed, &out), 2);
  EXPECT_NE(out.find("$.archive_manager.archive_files[1].create_time: "), std::string::npos) << out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "afile list", &out), 0);
  EXPECT_EQ(out,
            "afile=31 job=12 app=5 cell=2 type=4 cycle=3 created=1700000000 host=ma1\n"
            "afile=32 job=12 app=5 cell=2 type=1 cycle=3 created=1700000100 host=ma1\n");
  EXPECT_EQ(RunBlbsim(scope.Path(), "dump archive", &out), 2);
  EXPECT_NE(out.find("services: agent_config application_list oracle_agent volume_manager archive_manager job_manager "
                     "snapshot_library job_info index_items fault_table"),
            std::string::npos)
      << out;
}
