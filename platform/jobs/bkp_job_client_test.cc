#include "platform/jobs/bkp_job_client.h"

#include <gtest/gtest.h>

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
