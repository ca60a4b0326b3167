#include "records/tarvos_job_info.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/harness/sim_harness.h"
#include "support/test_platform.h"

namespace {

TarvosJobInfo Parsed(const std::vector<std::string>& args, int* result, bool skip = false) {
  TarvosJobInfo info(args);
  *result = info.ParseArgs(skip);
  return info;
}

}  // namespace

TEST(TarvosJobInfo, ParsesAFullArgumentVector) {
  int result = 1;
  TarvosJobInfo info = Parsed({"-a", "2:7", "-j", "100", "-t", "2", "-d", "stow1", "-jt", "TOK"}, &result);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(info.GetVornCellId(), 2u);
  EXPECT_EQ(info.GetAppId(), 7u);
  EXPECT_EQ(info.GetJobId(), 100u);
  EXPECT_EQ(info.GetBackupLevel(), 2);
  EXPECT_EQ(info.GetStowhost(), "stow1");
  EXPECT_STREQ(info.GetJobToken(), "TOK");
  EXPECT_EQ(info.GetSnapJobId(), 0u);
}

TEST(TarvosJobInfo, ValidatesLevelIdsAndStorageServer) {
  const std::vector<std::string> base = {"-a", "2:7", "-j", "100", "-d", "stow1", "-t"};
  int result = 0;
  for (const auto& [level, expected] :
       std::vector<std::pair<std::string, int>>{{"1", 0}, {"2", 0}, {"3", -1}, {"4", 0}, {"0", -1}}) {
    std::vector<std::string> args = base;
    args.push_back(level);
    Parsed(args, &result);
    EXPECT_EQ(result, expected) << "level " << level;
  }
  TarvosJobInfo noColon = Parsed({"-a", "5", "-j", "1", "-t", "1", "-d", "s"}, &result);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(noColon.GetVornCellId(), 5u);
  EXPECT_EQ(noColon.GetAppId(), 0u);

  Parsed({"-a", "2:7", "-j", "1", "-t", "1", "-d", ""}, &result);
  EXPECT_EQ(result, -1);
  Parsed({}, &result);
  EXPECT_EQ(result, -1);
  Parsed({}, &result, true);
  EXPECT_EQ(result, 0);
}

TEST(TarvosJobInfo, ANegativeIdIsNoIdRatherThanAWrappedOne) {
  int result = 0;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-a", "2:7", "-j", "-5", "-t", "1", "-d", "s"},
        std::vector<std::string>{"-a", "-2:7", "-j", "5", "-t", "1", "-d", "s"},
        std::vector<std::string>{"-a", "2:-7", "-j", "5", "-t", "1", "-d", "s"}}) {
    TarvosJobInfo info = Parsed(args, &result);
    EXPECT_EQ(result, -1) << args[1] << " " << args[3];
    EXPECT_LT(info.GetJobId() + info.GetVornCellId() + info.GetAppId(), 10u) << args[1] << " " << args[3];
  }
  TarvosJobInfo snap = Parsed({"-a", "2:7", "-j", "5", "-t", "1", "-d", "s", "-snapJID", "-9"}, &result);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(snap.GetSnapJobId(), 0u);
}

TEST(TarvosJobInfo, OptionWithoutValueFailsBeforeValidation) {
  int result = 0;
  TarvosJobInfo info = Parsed({"-a", "2:7", "-j"}, &result, true);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(info.GetAppId(), 7u);  // read before the failure
  Parsed({"-a", "2:7", "-t", "1", "-d", "s", "-snaptape", "-j"}, &result);
  EXPECT_EQ(result, -1);
}

TEST(TarvosJobInfo, SnapshotJobIdDefaultsToJobIdForSnapToTape) {
  int result = 0;
  EXPECT_EQ(Parsed({"-snaptape", "-j", "7"}, &result, true).GetSnapJobId(), 7u);
  EXPECT_EQ(Parsed({"-snapJID", "9", "-snaptape", "-j", "7"}, &result, true).GetSnapJobId(), 9u);
  // Unknown elements are skipped and the next one is examined as an option.
  TarvosJobInfo info = Parsed({"-x", "-j", "8", "stray", "-snaptape"}, &result, true);
  EXPECT_EQ(info.GetJobId(), 8u);
  EXPECT_TRUE(info.IsSnapToTape());
}

TEST(TarvosJobInfo, LongTokenKeepsAll64BytesAndStaysTerminated) {
  const std::string seventy(70, 'k');
  int result = 0;
  TarvosJobInfo info = Parsed({"-jt", seventy}, &result, true);
  EXPECT_EQ(std::strlen(info.GetJobToken()), 64u);
  EXPECT_EQ(std::string(info.GetJobToken()), seventy.substr(0, 64));
  TarvosJobInfo copy = info;
  EXPECT_EQ(std::strlen(copy.GetJobToken()), 64u);
  // A shorter token replaces it completely.
  TarvosJobInfo again({"-jt", seventy, "-jt", "ab"});
  again.ParseArgs(true);
  EXPECT_STREQ(again.GetJobToken(), "ab");
}

TEST(TarvosJobInfo, ResolvesTheSubclientJobResultsDirectory) {
  testing_support::ScopedStateDir state;
  TarvosJobInfo info({"-a", "2:7", "-j", "100", "-t", "1", "-d", "stow1"});
  ASSERT_EQ(info.ParseArgs(false), 0);
  info.SetJobResultsDir("/unchanged");
  EXPECT_EQ(info.setJobResultsDir(), -1);  // no such subclient yet
  EXPECT_EQ(info.GetJobResultsDir(), "/unchanged");

  platform::SubclientRecord subclient;
  subclient.cellId = 2;
  subclient.appId = 7;
  subclient.clientId = 2;  // the local client laid out by the harness
  ASSERT_TRUE(blbsim::AddSubclient(subclient));
  EXPECT_EQ(info.setJobResultsDir(), 0);
  EXPECT_EQ(info.GetJobResultsDir(), state.Path() + "/jobresults/2/7");
}
