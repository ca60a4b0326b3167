// The carry-forward request's window, the index's answers to it, and
// reruns after a failure at either end of the job.
#include "platform/indexing/index_carry_forward.h"

#include "platform/harness/index_harness.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/services_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/jobs/job_details.h"
#include "platform/sim/fault_table.h"
#include "platform/text/fx_string.h"
#include "pseudosnap/pseudosnap_test_fixtures.h"

namespace {

using pseudosnap_test::Handler;
using pseudosnap_test::PseudoSnapTest;

class CarryForwardTest : public PseudoSnapTest {
 public:
  void SetUp() override {
    PseudoSnapTest::SetUp();
    platform::SubclientRecord subclient = *blbsim::FindSubclient(2, 7);
    subclient.appType = 29;
    ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
    platform::JobRecord snapJob = Job(55, "");
    snapJob.startTime = 1000;
    snapJob.endTime = 1600;
    ASSERT_TRUE(blbsim::AddJob(snapJob));
    ASSERT_TRUE(platform::MakeDirectories(Path("BlockLevelCumulativeBM")));
  }

  CQiError Run() {
    Handler handler;
    CQiError error = Initialize(handler, 29);
    if (error.IsError()) return error;
    return handler.CreatePseudoSnapArchive(nullptr);
  }

  static std::vector<int64_t> CarriedFiles() {
    std::vector<int64_t> files;
    for (const platform::IndexCarryForwardRecord& row : blbsim::IndexCarryForwards(101)) files.push_back(row.afileId);
    return files;
  }
};

TEST_F(CarryForwardTest, AnIncrementalStartsAtTheOldestSnapshotNeverBackedUp) {
  platform::JobRecord older = Job(40, "");
  older.startTime = 400;
  ASSERT_TRUE(blbsim::AddJob(older));
  std::string why;
  ASSERT_TRUE(
      blbsim::AddSnapRecord("job=40 snapjob=40 cell=2 engine=1 copy=0 synthfull=0\n"
                            "volume id=1 path=/mnt/a options=rw flags=0x0 afile=401\n",
                            why))
      << why;
  CQiError error = Run();
  ASSERT_FALSE(error.IsError()) << error.AsString();
  const std::vector<platform::IndexCarryForwardRecord> rows = blbsim::IndexCarryForwards(101);
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.front().fromTime, 400u);
  EXPECT_EQ(rows.front().toTime, 1600u);
  EXPECT_TRUE(log_.Contains("Found [1] unmaterialized snaps before [55]"));
  EXPECT_TRUE(log_.Contains("Using first unpicked snap job[40] VCId[2]"));
}

TEST_F(CarryForwardTest, ReplyShapes) {
  const struct {
    const char* name;
    const char* reply;  // a response list in the codec's text; null: the index's own answer
    unsigned code;      // 0: success
    const char* message;
  } cases[] = {
      {"results", nullptr, 0, nullptr},
      {"partial", "M100:102{1:1=[M100:101{1:1=i2}]}", 1627, "Some indices might be missing on index cache"},
      {"indices missing", "M100:102{1:1=[M100:101{1:1=i1,5:9=i1}]}", 1627,
       "Some indices might be missing on index cache"},
      {"search failed", "M100:102{1:1=[M100:101{1:1=i3,4:7=[M100:103{1:1=i5}]}]}", 1627,
       "FIND request failed at stowhost"},
      {"error without errors", "M100:102{1:1=[M100:101{1:1=i3}]}", 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::ScopedStateDir state;
    SetUp();
    std::string why;
    if (c.reply != nullptr) {
      ASSERT_TRUE(blbsim::QueueIndexReply(c.reply, 11, "", &why)) << why;
    }
    CQiError error = Run();
    if (c.code == 0) {
      EXPECT_FALSE(error.IsError()) << error.AsString();
      continue;
    }
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, c.code)) << error.AsString();
    EXPECT_NE(error.AsString().find(c.message), std::string::npos) << error.AsString();
    // The marker stands: a rerun sends the request again from the files and
    // registers no archive file.
    EXPECT_TRUE(FXPath::DoesPathExist(Path("101_PSnapADone.kzf")));
    const size_t files = blbsim::ArchiveFiles().size();
    error = Run();
    EXPECT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(blbsim::ArchiveFiles().size(), files);
    EXPECT_EQ(CarriedFiles(), (std::vector<int64_t>{503, 504, 503}));
  }
}

TEST_F(CarryForwardTest, ASystemStateJobKeepsItsViewOnlyForAWindowsDestination) {
  ASSERT_TRUE(platform::SetJobAttributes(55, 0x100000));
  CQiError error = Run();
  ASSERT_FALSE(error.IsError()) << error.AsString();
  for (const platform::JobClientCall& call : blbsim::JobClientCalls(55))
    EXPECT_EQ(call.call.find("getBkpAttrs"), std::string::npos);
  for (const platform::IndexCarryForwardRecord& row : blbsim::IndexCarryForwards(101))
    EXPECT_NE(row.view, "[System State]");

  testing_support::ScopedStateDir state;
  SetUp();
  SetOsId(200);
  ASSERT_TRUE(platform::SetJobAttributes(55, 0x100001));
  error = Run();
  ASSERT_FALSE(error.IsError()) << error.AsString();
  const std::vector<platform::IndexCarryForwardRecord> rows = blbsim::IndexCarryForwards(101);
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(rows.back().view, "[System State]");
  EXPECT_EQ(rows.back().component, "");
  EXPECT_EQ(rows.back().path, "/");
  EXPECT_EQ(rows.back().afileId, rows.front().afileId);
  EXPECT_EQ(rows.back().groupId, rows.front().groupId);
  size_t systemState = 0;
  for (const platform::IndexCarryForwardRecord& row : rows) systemState += row.view == "[System State]" ? 1 : 0;
  EXPECT_EQ(systemState, 1u);
}

TEST_F(CarryForwardTest, TheSnapshotJobMustHaveArchiveFiles) {
  Handler handler;
  ASSERT_FALSE(Initialize(handler, 29).IsError());
  long long time = 5000;
  ASSERT_FALSE(handler.GetSnapJobFromTime(55, time).IsError());
  EXPECT_EQ(time, 0);  // the snapshot job's archive files carry no creation time
  time = 5000;
  CQiError error = handler.GetSnapJobFromTime(56, time);
  EXPECT_EQ(FXErrorUtil::GetCode(error), -1) << error.AsString();
  EXPECT_NE(error.AsString().find("No arch files returned for SnapJob=[56]"), std::string::npos);
  EXPECT_EQ(time, 5000);
  platform::FaultTable::Set("ArMgrClientAPI::getArchFileListForSnapshotJob", 5);
  error = handler.GetSnapJobFromTime(55, time);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 5)) << error.AsString();
  EXPECT_NE(error.AsString().find("Failed to retreive arch file list for SnapJob=[55]"), std::string::npos);
}

TEST_F(CarryForwardTest, ARerunAfterTheCloneWasRefusedCarriesTheNewArchiveFiles) {
  platform::FaultTable::Set("KZSnapClientAPI::updateVolumeSnaps", 5, platform::FaultMode::kError, 1);
  ASSERT_TRUE(Run().IsError());
  CQiError error = Run();
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(testing_support::ReadFile(Path("101_IdxCarryFwd")).substr(0, 4), "505|");
  EXPECT_EQ(CarriedFiles(), (std::vector<int64_t>{505, 506, 505}));
  std::optional<SMVolSnapInfo> clone = blbsim::FindSnapRecord(101, 2);
  ASSERT_TRUE(clone.has_value());
  EXPECT_NE(clone->ToText().find("afile=505"), std::string::npos);
  EXPECT_NE(clone->ToText().find("afile=506"), std::string::npos);
}

}  // namespace
