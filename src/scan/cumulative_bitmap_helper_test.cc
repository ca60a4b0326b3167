// The scan's corrections of a volume's change bitmap: components that a
// synthetic-full validation found incomplete, and extents used since the
// previous job's cumulative bitmap.
#include "scan/cumulative_bitmap_helper.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "platform/harness/index_harness.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/job_info_harness.h"
#include "platform/harness/services_harness.h"
#include "platform/jobinfo/job_info_metadata.h"
#include "scan/cumulative_bitmap_words.h"
#include "scan/scan_test_fixtures.h"
#include "support/run_command.h"
#include "support/seven_zip.h"

namespace {

using testing_support::CapturingLog;
using Bitmaps = TrueUpVolInfo::VolumeBitmaps;

constexpr size_t kBytes = 32;
const std::string kAllOnes(kBytes, '\xFF');
const std::string kZeros(kBytes, '\0');

// The given byte, then the rest of the 32 bytes as `rest`.
std::string Head(char first, char rest) {
  return std::string(1, first) + std::string(kBytes - 1, rest);
}

unsigned char* Copy(const std::string& bytes) {
  unsigned char* copy = Bitmaps::Allocate(bytes.size());
  std::memcpy(copy, bytes.data(), bytes.size());
  return copy;
}

TrueUpVolInfo::VolumeBitmapsPtr VolumeBitmaps(const std::string& change, const std::string& data) {
  TrueUpVolInfo::VolumeBitmapsPtr bitmaps(new Bitmaps);
  bitmaps->Reset(Bitmaps::kChange, Copy(change));
  bitmaps->Reset(Bitmaps::kDataOnly, Copy(data));
  return bitmaps;
}

std::string ChangeOf(const TrueUpVolInfo::VolumeBitmapsPtr& bitmaps) {
  return std::string(reinterpret_cast<const char*>((*bitmaps)[Bitmaps::kChange]), kBytes);
}

// Counts the container listings the metadata service answers.
class CountingJobInfo : public platform::JobInfoMetadataBackend {
 public:
  platform::StateDbResult FindJob(uint64_t jobId, std::optional<platform::JobInfoJobRecord>& job) override {
    return Real().FindJob(jobId, job);
  }
  bool PutJob(const platform::JobInfoJobRecord& job) override { return Real().PutJob(job); }
  int ListFiles(uint64_t jobId, const std::string& container, std::vector<std::string>& names) override {
    ++listings;
    return Real().ListFiles(jobId, container, names);
  }
  int ReadFile(uint64_t jobId, const std::string& container, const std::string& name, std::string& contents) override {
    return Real().ReadFile(jobId, container, name, contents);
  }
  platform::StateDbResult PutFile(uint64_t jobId, const std::string& container, const std::string& name,
                                  const std::string& contents) override {
    return Real().PutFile(jobId, container, name, contents);
  }
  platform::StateDbResult Files(std::vector<platform::JobInfoFileRecord>& files) override {
    return Real().Files(files);
  }
  int listings = 0;

 private:
  static platform::JobInfoMetadataBackend& Real() { return platform::JobInfoMetadataBackend::Default(); }
  platform::JobInfoMetadata::Scope scope_{*this};
};

class CumulativeHelperTest : public scan_test::ScanTest {
 protected:
  std::unique_ptr<CCumulativeBitmapHelper> Helper(std::vector<std::string> more = {}, long long previousJob = 0,
                                                  const std::string& level = "2") {
    TarvosJobInfo job(scan_test::JobArgs(level, more));
    EXPECT_EQ(job.ParseArgs(false), 0);
    return std::make_unique<CCumulativeBitmapHelper>(job, jr_, 9, previousJob);
  }
  static CQiError Init(CCumulativeBitmapHelper& helper) {
    std::map<std::string, std::string> none;
    return helper.Initialize(none);
  }
  static bool GoesFull(CCumulativeBitmapHelper& helper, const std::string& component) {
    bool full = false;
    EXPECT_FALSE(helper.ConvertToFullIfFailedInSFV("/mnt/v1", component, full).IsError());
    return full;
  }
  // Runs the cumulative correction on a volume of the given bitmaps.
  static CQiError Correct(CCumulativeBitmapHelper& helper, TrueUpVolInfo::VolumeBitmapsPtr& bitmaps,
                          const std::string& component = "COMP1") {
    return helper.MakeSureChangesInDataOnlyBlockBitmapAreReflectedInDiskBitmap("/mnt/v1", component, kBytes, bitmaps);
  }

  // The job's container gets, under `name`, a 7z archive (made by the 7z
  // command) holding `member` with the contents.
  void Contain(const std::string& name, const std::string& member, const std::string& contents, uint64_t job = 55) {
    const std::string folder = state_.Sub("made/" + std::to_string(job) + "/" + member);
    testing_support::WriteFile(folder + "/" + member, contents);
    ASSERT_EQ(testing_support::SevenZipAdd(folder, folder + ".7z", {member}), 0);
    ASSERT_TRUE(blbsim::PutJobInfoFileFrom(job, "BlockLevelCumulativeBM", name, folder + ".7z"));
  }
  // Job 101's job-client calls since the last look, one text each.
  std::vector<std::string> JobCalls() {
    std::vector<std::string> calls;
    const std::vector<platform::JobClientCall> all = blbsim::JobClientCalls(101);
    for (size_t i = seenCalls_; i < all.size(); ++i) calls.push_back(all[i].call + (all[i].succeeded ? "" : " failed"));
    seenCalls_ = all.size();
    return calls;
  }
  static std::vector<std::string> TellingTheJobManager() {
    return {"init(vs1, 101, 1, 4, false)", "resetListOfVolumesWithMissingExtents()", "updateInfo(false)"};
  }
  std::string PreviousJobFolder(uint64_t job = 55) { return jr_ + "/BlockLevelCumulativeBM_" + std::to_string(job); }
  std::string Listing(const std::string& folder) { return testing_support::CommandOutput("ls " + folder); }
  // Every path of the state directory whose name holds the text.
  std::string PathsHolding(const std::string& text) {
    return testing_support::CommandOutput("find " + state_.Path() + " -name '*" + text + "*'");
  }

 private:
  size_t seenCalls_ = 0;
};

TEST_F(CumulativeHelperTest, ComponentsOfASyntheticFullValidationGoFull) {
  CapturingLog log;
  auto helper = Helper({"-lvwme", "COMP1,COMP2"});
  ASSERT_FALSE(Init(*helper).IsError());
  EXPECT_TRUE(log.Contains("IndexV2=[enabled]"));
  EXPECT_TRUE(GoesFull(*helper, "COMP1"));
  EXPECT_TRUE(log.Contains(
      "Last synthfull job indicated to trigger FULL on the volume due to missing extents, [/mnt/v1:COMP1]"));
  EXPECT_TRUE(GoesFull(*helper, "COMP2"));
  EXPECT_FALSE(GoesFull(*helper, "COMP3"));
  EXPECT_TRUE(testing_support::FileExists(jr_ + "/BlockLevelCumulativeBM"));
  EXPECT_TRUE(testing_support::FileExists(jr_ + "/BlockLevelCumulativeBM_0"));
  // The job manager learns that the components were taken.
  EXPECT_EQ(JobCalls(), TellingTheJobManager());
  EXPECT_TRUE(log.Contains("Initializing jobclient with VS=vs1, Job=101"));

  // A full job reads everything anyway, and still tells the job manager.
  auto full = Helper({"-lvwme", "COMP1,COMP2"}, 0, "1");
  ASSERT_FALSE(Init(*full).IsError());
  EXPECT_FALSE(GoesFull(*full, "COMP1"));
  EXPECT_EQ(JobCalls(), TellingTheJobManager());
  // A job without the argument, or a client without indexing V2, has
  // nothing to convert or tell.
  auto plain = Helper();
  ASSERT_FALSE(Init(*plain).IsError());
  EXPECT_FALSE(GoesFull(*plain, "COMP1"));
  ASSERT_TRUE(blbsim::SetIndexingV2(2, 7, false));
  auto withoutV2 = Helper({"-lvwme", "COMP1"});
  ASSERT_FALSE(Init(*withoutV2).IsError());
  EXPECT_FALSE(GoesFull(*withoutV2, "COMP1"));
  EXPECT_TRUE(JobCalls().empty());
}

TEST_F(CumulativeHelperTest, AJobManagerThatCannotBeToldFailsInitialize) {
  struct Case {
    const char* fault;
    bool errnoKind;
    const char* message;
  };
  for (const Case& c :
       {Case{"KZBkpJobClient::init", true, "Failed to initialize backup job client instance for updating info"},
        Case{"KZBkpJobClient::resetListOfVolumesWithMissingExtents", false,
             "Failed to reset volume list with missed extents info in JM."},
        Case{"KZBkpJobClient::updateInfo", true, "Failed to reset volume list with missed extents info in JM."}}) {
    blbsim::SetFault(c.fault, 5, false, 1);
    CQiError err = Init(*Helper({"-lvwme", "COMP1"}));
    EXPECT_TRUE(c.errnoKind ? FXErrorUtil::IsErrNo(err, 774) : FXErrorUtil::IsWin32(err, 774)) << c.fault;
    EXPECT_EQ(err.GetMessage(), c.message) << c.fault;
  }
  // A job the service does not know is not joined without a token either.
  JobCalls();
  TarvosJobInfo other({"-a", "2:7", "-j", "102", "-t", "2", "-d", "ss1", "-jt", "tok", "-lvwme", "COMP1"});
  ASSERT_EQ(other.ParseArgs(false), 0);
  CCumulativeBitmapHelper unknown(other, jr_, 9, 0);
  EXPECT_EQ(Init(unknown).GetMessage(), "Failed to initialize backup job client instance for updating info");
  EXPECT_EQ(blbsim::JobClientCalls(102).size(), 1u);
  ASSERT_TRUE(blbsim::SetVornServeHost(""));
  CQiError err = Init(*Helper({"-lvwme", "COMP1"}));
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 774));
  EXPECT_EQ(err.GetMessage(), "Failed to get vornserver name");
  EXPECT_TRUE(JobCalls().empty());
}

TEST_F(CumulativeHelperTest, AnSFVArgumentWithoutComponentsOrAFailedQuestionFailsInitialize) {
  for (const std::vector<std::string>& more : {std::vector<std::string>{"-lvwme"}, {"-lvwme", ","}, {"-lvwme", ""}}) {
    CQiError err = Init(*Helper(more));
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, 774)) << err.AsString();
    EXPECT_EQ(err.GetMessage(), more.size() == 1 ? "Something is wrong, no components specified in lvwme command args"
                                                 : "Received lvwme but with out any component list");
  }
  blbsim::SetFault("shouldUseIndexingV2", 5, false, 1);
  CQiError err = Init(*Helper());
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 774));
  EXPECT_EQ(err.GetMessage(), "Failed to get Client Properties index version");
}

TEST_F(CumulativeHelperTest, OnlyMissedExtentsAddTheUsedExtentsTheIndexLacks) {
  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nBlkLvlBackupOnlyMissedExtentsInSFV", "1"));
  ASSERT_TRUE(blbsim::SetIndexExtentBitmap(2, 7, "COMP1", Head('\x0F', '\xFF')));
  {
    CapturingLog log(4);
    auto helper = Helper({"-lvwme", "COMP1"});
    ASSERT_FALSE(Init(*helper).IsError());
    EXPECT_TRUE(log.Contains("Regkey set to backup only missed extents in synthfull validation"));
    EXPECT_FALSE(GoesFull(*helper, "COMP1"));
    auto bitmaps = VolumeBitmaps(kZeros, kAllOnes);
    ASSERT_FALSE(helper->MergeMissingExtsFromSFV("/mnt/v1", "COMP1", kBytes, bitmaps).IsError());
    EXPECT_EQ(ChangeOf(bitmaps), Head('\xF0', '\0'));
    EXPECT_TRUE(log.Contains("] MergeMissingExtsFromSFV: 0=f0"));
    // Another component, or a volume whose extents the index all holds.
    auto other = VolumeBitmaps(kZeros, kAllOnes);
    ASSERT_FALSE(helper->MergeMissingExtsFromSFV("/mnt/v2", "COMP9", kBytes, other).IsError());
    EXPECT_EQ(ChangeOf(other), kZeros);
  }
  // An index bitmap shorter than the volume's corrects only what it covers;
  // a change bit already set is left as it is.
  ASSERT_TRUE(blbsim::SetIndexExtentBitmap(2, 7, "COMP1", "\x0F"));
  auto helper = Helper({"-lvwme", "COMP1"});
  ASSERT_FALSE(Init(*helper).IsError());
  auto bitmaps = VolumeBitmaps(Head('\x10', '\x01'), kAllOnes);
  ASSERT_FALSE(helper->MergeMissingExtsFromSFV("/mnt/v1", "COMP1", kBytes, bitmaps).IsError());
  EXPECT_EQ(ChangeOf(bitmaps), Head('\xF0', '\x01'));

  JobCalls();
  blbsim::SetFault("IdxBrowseClient::Browse", 5);
  CQiError err = Init(*Helper({"-lvwme", "COMP1"}));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 774));
  EXPECT_EQ(err.GetMessage(), "Failed to browse via IdxBrowseClient");
  EXPECT_TRUE(JobCalls().empty());
}

TEST_F(CumulativeHelperTest, ThePreviousJobsBitmapAddsTheExtentsUsedSince) {
  PreviousJobOnMa1();
  const std::string archived = Head('\x01', '\xFF');
  Contain("COMP1_CumulativeV2.bmp.7z", "COMP1_CumulativeV2.bmp", archived);
  CapturingLog log;
  auto helper = Helper({}, 55);
  ASSERT_FALSE(Init(*helper).IsError());
  auto bitmaps = VolumeBitmaps(Head('\x01', '\0'), kAllOnes);
  CQiError err = Correct(*helper, bitmaps);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(ChangeOf(bitmaps), Head('\xFF', '\0'));
  EXPECT_TRUE(log.Contains("sStowhostClientName[maclient] fromTime[1000] toTime[1200]"));
  EXPECT_TRUE(
      log.Contains("Found [7] Extents which have changed exclusively in the Cumulative bitmap for "
                   "volume[/mnt/v1] CompId[COMP1]"));
  EXPECT_TRUE(log.Contains("Setting bit [1]"));
  EXPECT_EQ(testing_support::ReadFile(PreviousJobFolder() + "/COMP1_CumulativeV2.bmp"), archived);
  EXPECT_EQ(Listing(PreviousJobFolder()), "COMP1_CumulativeV2.bmp\n");
  EXPECT_TRUE(testing_support::FileExists(jr_ + "/BlockLevelCumulativeBM"));
  // The archive files of the previous job were asked for in its cell.
  const std::vector<platform::ArchiveRequestRecord> requests = blbsim::ArchiveRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(
      std::vector<uint64_t>({requests[0].jobId, requests[0].appOrClientId, requests[0].cellId, requests[0].snapJobId}),
      std::vector<uint64_t>({101, 7, 2, 55}));

  // A previous bitmap shorter than the volume's (torn, or of another
  // geometry) holds nothing past its end: every extent used there is added.
  // A longer one is cut to the volume's.
  Contain("COMP2_CumulativeV2.bmp.7z", "COMP2_CumulativeV2.bmp", std::string(1, '\0'));
  Contain("COMP3_CumulativeV2.bmp.7z", "COMP3_CumulativeV2.bmp", std::string(kBytes + 8, '\0'));
  auto again = Helper({}, 55);
  ASSERT_FALSE(Init(*again).IsError());
  auto shorter = VolumeBitmaps(kZeros, kAllOnes);
  CapturingLog shortLog;
  ASSERT_FALSE(Correct(*again, shorter, "COMP2").IsError());
  EXPECT_EQ(ChangeOf(shorter), kAllOnes);
  EXPECT_TRUE(shortLog.Contains("the extents past it count as not backed up"));
  auto longer = VolumeBitmaps(kZeros, Head('\x0F', '\x80'));
  ASSERT_FALSE(Correct(*again, longer, "COMP3").IsError());
  EXPECT_EQ(ChangeOf(longer), Head('\x0F', '\x80'));
}

// What the upload would not have chosen is not extracted: the temporary of
// an upload cut short is no archive.
TEST_F(CumulativeHelperTest, OnlyCumulativeBitmapsOfTheContainerAreExtracted) {
  PreviousJobOnMa1();
  Contain("COMP1_CumulativeV2.bmp.7z", "COMP1_CumulativeV2.bmp", Head('\x01', '\xFF'));
  testing_support::WriteFile(state_.Sub("torn"), "7z");
  ASSERT_TRUE(blbsim::PutJobInfoFileFrom(55, "BlockLevelCumulativeBM", "COMP1_CumulativeV2.bmp.7z.tmp.41.1",
                                         state_.Sub("torn")));
  auto helper = Helper({}, 55);
  ASSERT_FALSE(Init(*helper).IsError());
  auto bitmaps = VolumeBitmaps(Head('\x01', '\0'), kAllOnes);
  CQiError err = Correct(*helper, bitmaps);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(ChangeOf(bitmaps), Head('\xFF', '\0'));
  EXPECT_EQ(Listing(PreviousJobFolder()), "COMP1_CumulativeV2.bmp\n");
}

TEST_F(CumulativeHelperTest, WithoutCurrentBitmapsTheCorrectionEndsAndAMissingOneFailsTheVolume) {
  PreviousJobOnMa1();
  Contain("OTHER_CumulativeV2.bmp.7z", "OTHER_CumulativeV2.bmp", kZeros);
  auto helper = Helper({}, 55);
  ASSERT_FALSE(Init(*helper).IsError());
  auto bitmaps = VolumeBitmaps(kZeros, kAllOnes);
  CQiError err = Correct(*helper, bitmaps);
  EXPECT_EQ(FXErrorUtil::GetCode(err), -1);
  EXPECT_EQ(err.GetMessage(), "Bitmap [" + PreviousJobFolder() +
                                  "/COMP1_CumulativeV2.bmp] for volume[/mnt/v1] with CompId[COMP1] from previous job "
                                  "[55] is missing.");
  EXPECT_EQ(ChangeOf(bitmaps), kZeros);

  // Only an older version: nothing is downloaded, and the next volume does
  // not ask the metadata service again.
  PreviousJobOnMa1(56);
  Contain("COMP1_Cumulative.bmp.7z", "COMP1_Cumulative.bmp", kZeros, 56);
  CountingJobInfo counting;
  CapturingLog log;
  auto older = Helper({}, 56);
  ASSERT_FALSE(Init(*older).IsError());
  for (const char* component : {"COMP1", "COMP2"}) {
    auto unchanged = VolumeBitmaps(kZeros, kAllOnes);
    ASSERT_FALSE(Correct(*older, unchanged, component).IsError()) << component;
    EXPECT_EQ(ChangeOf(unchanged), kZeros);
  }
  EXPECT_EQ(counting.listings, 1);
  EXPECT_TRUE(log.Contains("Latest version(CumulativeV2) of cumulative bitmaps are not available"));
  EXPECT_TRUE(log.Contains("No files found under BlockLevelCumulativeBM container for jobID[56]"));
  EXPECT_EQ(Listing(PreviousJobFolder(56)), "");

  // No previous job, or a client without indexing V2.
  auto first = Helper();
  ASSERT_FALSE(Init(*first).IsError());
  ASSERT_FALSE(Correct(*first, bitmaps).IsError());
  EXPECT_TRUE(log.Contains("Invalid Previous job id, jobid=0"));
  EXPECT_TRUE(testing_support::FileExists(jr_ + "/BlockLevelCumulativeBM_0"));
  ASSERT_TRUE(blbsim::SetIndexingV2(2, 7, false));
  auto withoutV2 = Helper({}, 55);
  ASSERT_FALSE(Init(*withoutV2).IsError());
  ASSERT_FALSE(Correct(*withoutV2, bitmaps).IsError());
  EXPECT_TRUE(log.Contains("Not Indexing V2"));
  EXPECT_EQ(counting.listings, 1);
  EXPECT_EQ(ChangeOf(bitmaps), kZeros);
}

TEST_F(CumulativeHelperTest, AFailedDownloadIsTriedAgainByTheNextVolume) {
  auto lonely = Helper({}, 55);
  ASSERT_FALSE(Init(*lonely).IsError());
  auto bitmaps = VolumeBitmaps(Head('\x01', '\0'), kAllOnes);
  CQiError err = Correct(*lonely, bitmaps);
  EXPECT_EQ(FXErrorUtil::GetCode(err), -1);
  EXPECT_EQ(err.GetMessage(), "No arch files returned for SnapJob=[55]");

  PreviousJobOnMa1();
  Contain("COMP1_CumulativeV2.bmp.7z", "COMP1_CumulativeV2.bmp", Head('\x01', '\xFF'));
  blbsim::SetFault("ArMgrClientAPI::getArchFileListForSnapshotJob", 5, false, 1);
  auto helper = Helper({}, 55);
  ASSERT_FALSE(Init(*helper).IsError());
  err = Correct(*helper, bitmaps);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 5));
  EXPECT_EQ(err.GetMessage(), "Failed to retreive arch file list for SnapJob=[55]");
  for (const char* text : {"Failed to get QM and timeStamp details for snap job[55]",
                           "FetchCumulativeBackupBitmapsFromPreviousJob Failed. error=["})
    EXPECT_NE(err.AsString().find(text), std::string::npos) << text;
  EXPECT_EQ(ChangeOf(bitmaps), Head('\x01', '\0'));
  ASSERT_FALSE(Correct(*helper, bitmaps).IsError());
  EXPECT_EQ(ChangeOf(bitmaps), Head('\xFF', '\0'));
}

TEST_F(CumulativeHelperTest, NamesAndMembersLeadingOutOfTheJobResultsAreRefused) {
  PreviousJobOnMa1();
  Contain("COMP1_CumulativeV2.bmp.7z", "COMP1_CumulativeV2.bmp", kAllOnes);
  Contain("../evil_CumulativeV2.bmp.7z", "COMP9_CumulativeV2.bmp", kAllOnes);
  auto helper = Helper({}, 55);
  ASSERT_FALSE(Init(*helper).IsError());
  auto bitmaps = VolumeBitmaps(kZeros, kAllOnes);
  CQiError err = Correct(*helper, bitmaps);
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 774)) << err.AsString();
  EXPECT_NE(err.AsString().find("../evil_CumulativeV2.bmp.7z"), std::string::npos) << err.AsString();
  // Refused before anything was written.
  EXPECT_EQ(Listing(PreviousJobFolder()), "");
  EXPECT_EQ(PathsHolding("evil"), "");

  PreviousJobOnMa1(56);
  testing_support::WriteRawSevenZip(state_.Sub("hostile.7z"), {{"../../evil", "x", ""}});
  ASSERT_TRUE(
      blbsim::PutJobInfoFileFrom(56, "BlockLevelCumulativeBM", "COMP1_CumulativeV2.bmp.7z", state_.Sub("hostile.7z")));
  auto again = Helper({}, 56);
  ASSERT_FALSE(Init(*again).IsError());
  err = Correct(*again, bitmaps);
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 774)) << err.AsString();
  EXPECT_EQ(PathsHolding("evil"), "");
  EXPECT_EQ(ChangeOf(bitmaps), kZeros);
}

// The word-at-a-time kernel against the rule bit by bit, with a tail past
// the last whole word; quiet and visiting alike.
TEST(CumulativeBitmapBits, TheKernelAddsExactlyTheUsedBitsThatNeitherBitmapHolds) {
  std::mt19937 random(7);
  std::vector<unsigned char> change(1003), used(change.size()), held(change.size());
  for (size_t i = 0; i < change.size(); ++i) {
    change[i] = static_cast<unsigned char>(random() & random());
    used[i] = static_cast<unsigned char>(random());
    held[i] = static_cast<unsigned char>(random() | random());
  }
  std::vector<unsigned char> expected = change;
  uint64_t expectedAdded = 0;
  for (long long bit = 0; bit < static_cast<long long>(change.size()) * 8; ++bit)
    if (CCumulativeBitmapHelper::test_bmp_bit(bit, used.data()) &&
        !CCumulativeBitmapHelper::test_bmp_bit(bit, held.data()) &&
        !CCumulativeBitmapHelper::test_bmp_bit(bit, expected.data())) {
      CCumulativeBitmapHelper::set_bmp_bit(bit, expected.data());
      ++expectedAdded;
    }
  std::vector<unsigned char> quiet = change, visited = change;
  EXPECT_EQ(cumulative_words::AddUsedExtentsNotInQuietly(quiet.data(), used.data(), held.data(), quiet.size()),
            expectedAdded);
  EXPECT_EQ(quiet, expected);
  std::vector<unsigned char> uncounted = change;
  cumulative_words::MarkUsedExtentsNotIn(uncounted.data(), used.data(), held.data(), uncounted.size());
  EXPECT_EQ(uncounted, expected);
  uint64_t seen = 0;
  EXPECT_EQ(cumulative_words::AddUsedExtentsNotIn(
                visited.data(), used.data(), held.data(), visited.size(),
                [&](size_t, uint64_t bits, size_t) { seen += cumulative_words::CountBitsPortably(bits); }),
            expectedAdded);
  EXPECT_EQ(visited, expected);
  EXPECT_EQ(seen, expectedAdded);
}

TEST(CumulativeBitmapBits, AllBitsSetAndSingleBitsInTheBitmapLayout) {
  unsigned char bitmap[13];
  std::memset(bitmap, 0xFF, sizeof bitmap);
  EXPECT_TRUE(CCumulativeBitmapHelper::AreAllBitsSet(0, nullptr));
  EXPECT_TRUE(CCumulativeBitmapHelper::AreAllBitsSet(sizeof bitmap, bitmap));
  // Each byte, past the last whole word too.
  for (size_t byte = 0; byte < sizeof bitmap; ++byte) {
    bitmap[byte] = 0x7F;
    EXPECT_FALSE(CCumulativeBitmapHelper::AreAllBitsSet(sizeof bitmap, bitmap)) << byte;
    EXPECT_TRUE(CCumulativeBitmapHelper::AreAllBitsSet(byte, bitmap)) << byte;
    bitmap[byte] = 0xFF;
  }
  std::memset(bitmap, 0, sizeof bitmap);
  for (long long bit : {0LL, 7LL, 63LL, 64LL, 103LL}) CCumulativeBitmapHelper::set_bmp_bit(bit, bitmap);
  EXPECT_EQ(bitmap[0], 0x81);
  EXPECT_EQ(bitmap[7], 0x80);
  EXPECT_EQ(bitmap[8], 0x01);
  EXPECT_EQ(bitmap[12], 0x80);
  EXPECT_TRUE(CCumulativeBitmapHelper::test_bmp_bit(64, bitmap));
  EXPECT_FALSE(CCumulativeBitmapHelper::test_bmp_bit(65, bitmap));
}

}  // namespace
