// The job-info metadata's verbs, read by a reader manager of this process,
// and the job clients' calls that `job show` lists.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/jobinfo/job_info_reader.h"
#include "platform/jobs/bkp_job_client.h"
#include "support/blbsim_command.h"
#include "support/test_platform.h"

namespace {

using testing_support::RunBlbsim;

TEST(blbsimJobInfo, PutsListsAndGetsContainerFilesAndStoresAScansCumulativeBitmaps) {
  testing_support::ScopedStateDir scope;
  const std::string dir = scope.Path();
  std::string out;
  testing_support::WriteFile(scope.Sub("in/catalog.7z"), "catalog bytes");
  ASSERT_EQ(RunBlbsim(dir, "jobinfo put 55 BlockLevelCatalog " + scope.Sub("in/catalog.7z"), &out), 0) << out;
  ASSERT_EQ(RunBlbsim(dir, "jobinfo put 55 BlockLevelCumulativeBM " + scope.Sub("in/catalog.7z") + " ../odd", &out), 0)
      << out;
  ASSERT_EQ(RunBlbsim(dir, "jobinfo job 55 1700000000 1", &out), 0) << out;
  ASSERT_EQ(RunBlbsim(dir, "jobinfo list 55 BlockLevelCatalog", &out), 0);
  EXPECT_EQ(out.substr(0, 47), "job=55 BlockLevelCatalog/catalog.7z bytes=13 st") << out;
  std::list<std::string> names;
  CJobInfoMetadataReaderManager manager("", 101, 55, 2, 7, 0, 0);
  ASSERT_FALSE(manager.DownloadFiles("BlockLevelCumulativeBM", names, "", 0).IsError());
  EXPECT_EQ(names, std::list<std::string>{"../odd"});
  EXPECT_EQ(manager.GetJobStartTime(), 1700000000u);
  ASSERT_EQ(RunBlbsim(dir, "jobinfo get 55 BlockLevelCatalog catalog.7z " + scope.Sub("back"), &out), 0) << out;
  EXPECT_EQ(testing_support::ReadFile(scope.Sub("back")), "catalog bytes");

  testing_support::WriteFile(scope.Sub("jr/BlockLevelCumulativeBM/C1_CumulativeV2.bmp"), std::string(32, '\x0F'));
  ASSERT_EQ(RunBlbsim(dir, "jobinfo store-cumulative 56 " + scope.Sub("jr"), &out), 0) << out;
  EXPECT_EQ(out, "BlockLevelCumulativeBM/C1_CumulativeV2.bmp.7z\n");
  ASSERT_EQ(RunBlbsim(dir, "jobinfo get 56 BlockLevelCumulativeBM C1_CumulativeV2.bmp.7z " + scope.Sub("c1.7z")), 0);
  ASSERT_EQ(testing_support::RunCommand("cd " + scope.Path() + " && 7z x -bd -y -ox c1.7z >/dev/null"), 0);
  EXPECT_EQ(testing_support::ReadFile(scope.Sub("x/C1_CumulativeV2.bmp")), std::string(32, '\x0F'));
  ASSERT_EQ(RunBlbsim(dir, "jobinfo list", &out), 0);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;

  EXPECT_EQ(RunBlbsim(dir, "jobinfo get 55 BlockLevelCatalog absent " + scope.Sub("x2")), 1);
  EXPECT_EQ(RunBlbsim(dir, "jobinfo put 55 C " + scope.Sub("absent")), 1);
  EXPECT_EQ(RunBlbsim(dir, "jobinfo store-cumulative 57 " + scope.Sub("absent")), 1);
  for (const char* wrong : {"jobinfo", "jobinfo put x C f", "jobinfo job 55", "jobinfo job 55 1 -2", "jobinfo list a"})
    EXPECT_EQ(RunBlbsim(dir, wrong), 2) << wrong;
}

TEST(blbsimJobInfo, JobShowListsTheCallsOfTheJobsClients) {
  testing_support::ScopedStateDir scope;
  std::string out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "job add 40 2 7 2 T40", &out), 0) << out;
  KZBkpJobClient client;
  ASSERT_TRUE(client.init("vornserve.local", 40, 1, 4, false, nullptr));
  ASSERT_TRUE(client.changeBkpLevelToFull());
  ASSERT_EQ(RunBlbsim(scope.Path(), "job show 40", &out), 0) << out;
  EXPECT_NE(out.find("call=init(vornserve.local, 40, 1, 4, false) ok\ncall=changeBkpLevelToFull() ok\n"),
            std::string::npos)
      << out;
}

}  // namespace
