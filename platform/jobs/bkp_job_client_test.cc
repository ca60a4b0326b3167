#include "platform/jobs/bkp_job_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/config/kz_client.h"
#include "platform/harness/job_harness.h"
#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

namespace {

// Job 40 of subclient 2/7, level 2, token "T40".
void AddJob40() {
  platform::JobRecord job;
  job.jobId = 40;
  job.cellId = 2;
  job.appId = 7;
  job.level = 2;
  job.token = "T40";
  ASSERT_TRUE(blbsim::AddJob(job));
}

std::string VornServe() {
  KZPI_VornClient client;
  client.setFocus(KZPI_Focus::getFocus());
  return client.getVornServerHostName();
}

}  // namespace

TEST(KZBkpJobClient, JoinsOnlyAKnownJobThroughTheVornServeWithItsToken) {
  testing_support::ScopedStateDir state;
  AddJob40();
  const std::string host = VornServe();
  ASSERT_EQ(host, "vornserve.local");
  EXPECT_EQ(KZPI_VornClient().getVornServerHostName(), "");  // no focus set
  KZBkpJobClient client;
  EXPECT_FALSE(client.init(host, 41, 1, 4, true, "T40"));
  EXPECT_FALSE(client.init("other.local", 40, 1, 4, true, "T40"));
  EXPECT_FALSE(client.init(host, 40, 1, 4, true, "T4"));
  EXPECT_FALSE(client.changeBkpLevelToFull());  // not joined

  // Nothing changes until the change asked for is committed.
  ASSERT_TRUE(client.init(host, 40, 1, 4, true, "T40"));
  ASSERT_TRUE(client.updateInfo(false, nullptr));
  EXPECT_EQ(blbsim::FindJob(40)->conversions, 0u);
  ASSERT_TRUE(client.changeBkpLevelToFull());
  EXPECT_EQ(blbsim::FindJob(40)->level, 2);
  ASSERT_TRUE(client.updateInfo(false, nullptr));
  EXPECT_EQ(blbsim::FindJob(40)->level, 1);
  EXPECT_EQ(blbsim::FindJob(40)->conversions, 1u);
  platform::FaultTable::Set("KZBkpJobClient::updateInfo", 5);
  ASSERT_TRUE(client.changeBkpLevelToFull());
  EXPECT_FALSE(client.updateInfo(false, nullptr));
  EXPECT_EQ(blbsim::FindJob(40)->conversions, 1u);

  // Without a VornServe no job can be joined.
  ASSERT_TRUE(blbsim::SetVornServeHost(""));
  EXPECT_EQ(VornServe(), "");
  EXPECT_FALSE(client.init("", 40, 1, 4, true, "T40"));
}

// The job's own scan joins without attaching and without the token; every
// call a client makes on a job is logged, refused ones too.
TEST(KZBkpJobClient, JoinsWithoutATokenOnlyWhenNotAttachingAndLogsEveryCall) {
  testing_support::ScopedStateDir state;
  AddJob40();
  const std::string host = VornServe();
  KZBkpJobClient client;
  EXPECT_FALSE(client.resetListOfVolumesWithMissingExtents());  // not joined
  EXPECT_FALSE(client.init(host, 40, 1, 4, true, nullptr));
  EXPECT_FALSE(client.init(host, 40, 1, 4, false, "T4"));
  EXPECT_FALSE(client.init("other.local", 40, 1, 4, false, nullptr));
  EXPECT_FALSE(client.init(host, 41, 1, 4, false, nullptr));
  ASSERT_TRUE(client.init(host, 40, 1, 4, false, nullptr));
  EXPECT_TRUE(client.resetListOfVolumesWithMissingExtents());
  platform::FaultTable::Set("KZBkpJobClient::resetListOfVolumesWithMissingExtents", 5, false, 1);
  EXPECT_FALSE(client.resetListOfVolumesWithMissingExtents());
  EXPECT_TRUE(client.updateInfo(false, nullptr));
  EXPECT_EQ(blbsim::FindJob(40)->level, 2);

  std::vector<std::string> calls;
  for (const platform::JobClientCall& call : blbsim::JobClientCalls(40))
    calls.push_back(call.call + (call.succeeded ? "" : " failed"));
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "init(vornserve.local, 40, 1, 4, true) failed",
                       "init(vornserve.local, 40, 1, 4, false, <token>) failed",
                       "init(other.local, 40, 1, 4, false) failed",
                       "init(vornserve.local, 40, 1, 4, false)",
                       "resetListOfVolumesWithMissingExtents()",
                       "resetListOfVolumesWithMissingExtents() failed",
                       "updateInfo(false)",
                   }));
  ASSERT_EQ(blbsim::JobClientCalls(41).size(), 1u);
  EXPECT_FALSE(blbsim::JobClientCalls(41)[0].succeeded);
}
