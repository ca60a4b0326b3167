// The snapshot service's verbs and seed section: one text form for a
// volume-snap record, checked as strictly as the other seeds.
#include <gtest/gtest.h>

#include "platform/harness/seed.h"
#include "platform/snapshot/sm_vol_snap_info.h"
#include "support/blbsim_command.h"
#include "support/test_platform.h"

namespace {

using testing_support::RunBlbsim;

constexpr const char* kRecord =
    "job=55 snapjob=55 cell=2 engine=1 copy=0 synthfull=0\n"
    "volume id=1 path=/mnt/with blank options=rw,noatime flags=0x800001 afile=501\n"
    "snap id=11 source=/dev/snapA\n"
    "map volume=1 snap=11 metadata=5\n"
    "metadata id=5 type=2 dbopmode=0\n";

TEST(blbsimSnap, AddShowAndDumpShareOneTextForm) {
  testing_support::ScopedStateDir scope;
  std::string out;
  testing_support::WriteFile(scope.Sub("record"), kRecord);
  ASSERT_EQ(RunBlbsim(scope.Path(), "snap add " + scope.Sub("record"), &out), 0) << out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "snap show 55", &out), 0) << out;
  EXPECT_EQ(out, kRecord);
  ASSERT_EQ(RunBlbsim(scope.Path(), "snap show 55 2", &out), 0) << out;
  EXPECT_EQ(out, kRecord);
  EXPECT_EQ(RunBlbsim(scope.Path(), "snap show 55 3"), 1);
  ASSERT_EQ(RunBlbsim(scope.Path(), "snap engines", &out), 0);
  EXPECT_EQ(out, "engine=53 name=block level\n");

  std::string document;
  ASSERT_TRUE(blbsim::DumpService("snapshot_library", document));
  EXPECT_NE(document.find("volume id=1 path=/mnt/with blank options=rw,noatime flags=0x800001"), std::string::npos)
      << document;
  // A dump seeds the same record again.
  testing_support::ScopedStateDir other;
  std::string why;
  ASSERT_EQ(blbsim::SeedDocument(document, why), blbsim::SeedResult::kSeeded) << why;
  ASSERT_EQ(RunBlbsim(other.Path(), "snap show 55", &out), 0) << out;
  EXPECT_EQ(out, kRecord);
}

TEST(blbsimSnap, RefusesWhatIsNoRecord) {
  testing_support::ScopedStateDir scope;
  const char* wrong[] = {
      "",
      "volume id=1 path=/a options= flags=0x0 afile=1\n",
      "job=55 snapjob=55 cell=2 engine=1 copy=0\n",
      "job=55 snapjob=55 cell=2 engine=1 copy=0 synthfull=2\n",
      "job=x snapjob=55 cell=2 engine=1 copy=0 synthfull=0\n",
      "job=55 snapjob=55 cell=2 engine=1 copy=0 synthfull=0\nvolume id=1 path=/a options= flags=0 afile=1\n",
      "job=55 snapjob=55 cell=2 engine=1 copy=0 synthfull=0\nvolume id=1 path=/a flags=0x0 afile=1\n",
      "job=55 snapjob=55 cell=2 engine=1 copy=0 synthfull=0\nsnap id=1\n",
      "job=55 snapjob=55 cell=2 engine=1 copy=0 synthfull=0\nmap volume=1 snap=2 metadata=99999999999\n",
      "job=55 snapjob=55 cell=2 engine=1 copy=0 synthfull=0\nsnapshot id=1 source=/dev/x\n",
  };
  for (const char* text : wrong) {
    SMVolSnapInfo record;
    std::string why;
    EXPECT_FALSE(SMVolSnapInfo::FromText(text, record, why)) << text;
    testing_support::WriteFile(scope.Sub("record"), text);
    EXPECT_EQ(RunBlbsim(scope.Path(), "snap add " + scope.Sub("record")), 2) << text;
  }
  std::string why;
  EXPECT_EQ(blbsim::SeedDocument(R"({"snapshot_library": {"records": ["job=1"]}})", why), blbsim::SeedResult::kRefused);
  EXPECT_NE(why.find("$.snapshot_library.records[0]"), std::string::npos) << why;
  EXPECT_EQ(blbsim::SeedDocument(R"({"snapshot_library": {"engines": [{"engine": 1}]}})", why),
            blbsim::SeedResult::kRefused);
  EXPECT_EQ(blbsim::SeedDocument(R"({"job_manager": {"jobs": [{"job_id": 1, "cell_id": 2, "app_id": 7,
      "level": 2, "backup_copy_dne": true}]}})",
                                 why),
            blbsim::SeedResult::kRefused);
  EXPECT_NE(why.find("backup_copy_dne"), std::string::npos) << why;
  for (const char* usage : {"snap", "snap show", "snap show x", "snap add", "snap calls x"})
    EXPECT_EQ(RunBlbsim(scope.Path(), usage), 2) << usage;
}

}  // namespace
