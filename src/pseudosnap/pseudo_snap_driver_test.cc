#include <functional>

#include "platform/harness/services_harness.h"
#include "platform/sim/fault_table.h"
#include "pseudosnap/pseudosnap_test_fixtures.h"

namespace {

using pseudosnap_test::ConfigLine;
using pseudosnap_test::Handler;
using pseudosnap_test::kSnapRecord55;
using pseudosnap_test::PseudoSnapTest;

class PseudoSnapDriverTest : public PseudoSnapTest {
 protected:
  // One run of the job as the agent makes it: a new handler each time.
  CQiError Run(std::vector<uint32_t>* ids = nullptr, uint64_t snapJobId = 55) {
    Handler handler;
    CQiError error = Initialize(handler, 5, snapJobId);
    if (error.IsError()) return error;
    return handler.CreatePseudoSnapArchive(ids);
  }

  void ReplaceSnapRecord(const std::string& from, const std::string& to) {
    std::string text = kSnapRecord55;
    text.replace(text.find(from), from.size(), to);
    std::string why;
    ASSERT_TRUE(blbsim::AddSnapRecord(text, why)) << why;
  }

  std::string Clone() const {
    std::optional<SMVolSnapInfo> clone = blbsim::FindSnapRecord(101, 2);
    return clone ? clone->ToText() : std::string();
  }

  size_t ArchiveFiles() const { return blbsim::ArchiveFiles().size(); }
};

std::string MessageOf(const CQiError& error) {
  return error.AsString();
}

TEST_F(PseudoSnapDriverTest, ConvertsTheSnapshotJob) {
  std::vector<uint32_t> ids;
  CQiError error = Run(&ids);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(ids, (std::vector<uint32_t>{503, 504}));
  EXPECT_EQ(testing_support::ReadFile(Path("101_PSnapADone.kzf")), "");
  EXPECT_EQ(testing_support::ReadFile(Path("101_IdxCarryFwd")), "");
  EXPECT_EQ(testing_support::ReadFile(Path("101_SnapAFilePseudoAFileMap.kzf")), "501|503\n502|504\n");
  for (const platform::ArchiveFileRecord& file : blbsim::ArchiveFiles()) {
    if (file.archFileId < 503) continue;
    EXPECT_EQ(file.jobId, 101u);
    EXPECT_EQ(file.groupId, 4u);
    EXPECT_EQ(file.copyId, 3u);
    EXPECT_EQ(file.archFileType, 1);
    EXPECT_EQ(file.level, 2);
  }
  EXPECT_TRUE(log_.Contains("IndexingConnection::initialize(2,7,5,2,tok,ss1,ss1,65792)"));
  EXPECT_TRUE(log_.Contains("Updating metadata in clonedVolSnapInfo from[5] to [6] for VolumeId[2]"));
  bool created = false;
  for (const platform::SnapServiceCall& call : blbsim::SnapCalls())
    created |= call.call == "createSnapArchiveFiles" && call.request == "1, 7, 5, 2, 0, 2, /mnt/a, /mnt/b";
  EXPECT_TRUE(created);
  const std::vector<platform::IndexConnectionRecord> connections = blbsim::IndexConnectionRecords();
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_EQ(connections[0].jobId, 101u);
  EXPECT_TRUE(connections[0].done);
  EXPECT_EQ(Clone(),
            "job=101 snapjob=55 cell=2 engine=53 copy=3 synthfull=0\n"
            "volume id=1 path=/mnt/a options=rw flags=0x0 afile=503\n"
            "volume id=2 path=/mnt/b options=zfs:tank flags=0x1 afile=504\n"
            "snap id=11 source=/dev/sdb1\n"
            "snap id=12 source=/dev/sdc1\n"
            "map volume=1 snap=11 metadata=0\n"
            "map volume=2 snap=12 metadata=6\n"
            "metadata id=5 type=2 dbopmode=0\n"
            "metadata id=6 type=2 dbopmode=1\n");

  // A rerun finds the marker and registers nothing more.
  const size_t files = ArchiveFiles();
  const size_t calls = blbsim::SnapCalls().size();
  log_.Clear();
  ASSERT_FALSE(Run().IsError());
  EXPECT_TRUE(log_.Contains("Pseudo archive done file[" + Path("101_PSnapADone.kzf") + "] already exists"));
  EXPECT_EQ(ArchiveFiles(), files);
  EXPECT_EQ(blbsim::SnapCalls().size(), calls);
}

TEST_F(PseudoSnapDriverTest, FailuresBeforeTheCloneLeaveNoMarker) {
  const struct {
    const char* name;
    std::function<void(PseudoSnapDriverTest&)> arrange;
    uint64_t snapJobId;
    long long code;
    const char* message;
    bool registers;  // whether the pseudo archive files were registered before
  } cases[] = {
      {"config lists a third volume",
       [](PseudoSnapDriverTest& t) {
         t.WriteConfig(
             {ConfigLine("/mnt/b", "/dev/sdc1"), ConfigLine("/mnt/a", "/dev/sdb1"), ConfigLine("/mnt/c", "/dev/sdd1")});
       },
       55, -1, "MountMap size[3] doesnot match with that of Volsnap size[2]", false},
      {"no record of the snapshot job", [](PseudoSnapDriverTest&) {}, 56, 2,
       "Failed to get SnapShot info for snapshot JID[56]", false},
      {"no block-level engine",
       [](PseudoSnapDriverTest&) { platform::FaultTable::Set("KZQMSnapHandler::getEngineInfoByEngineID", 5); }, 55, -1,
       "Could not get engine info associated with engine id[53]", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::ScopedStateDir state;
    SetUp();
    c.arrange(*this);
    const size_t files = ArchiveFiles();
    CQiError error = Run(nullptr, c.snapJobId);
    EXPECT_EQ(FXErrorUtil::GetCode(error), c.code);
    EXPECT_NE(MessageOf(error).find(c.message), std::string::npos) << MessageOf(error);
    EXPECT_FALSE(testing_support::FileExists(Path("101_PSnapADone.kzf")));
    EXPECT_FALSE(testing_support::FileExists(Path("101_SnapAFilePseudoAFileMap.kzf")));
    EXPECT_EQ(ArchiveFiles(), files + (c.registers ? 2 : 0));
  }
}

TEST_F(PseudoSnapDriverTest, FailedIndexCloseIs774) {
  platform::FaultTable::Set("IndexingConnection::backupDone", 5);
  CQiError error = Run();
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 774)) << error.AsString();
  EXPECT_NE(MessageOf(error).find("backupdone Failed, Failed to update Index"), std::string::npos);
  EXPECT_FALSE(testing_support::FileExists(Path("101_PSnapADone.kzf")));
}

// A rerun after the clone failed to store registers new pseudo archive
// files; the carry-forward file and the clone must name those.
TEST_F(PseudoSnapDriverTest, RerunAfterAFailedCloneStoreNamesTheNewArchiveFiles) {
  platform::FaultTable::Set("KZSnapClientAPI::updateVolumeSnaps", 5, platform::FaultMode::kError, 1);
  CQiError error = Run();
  EXPECT_EQ(FXErrorUtil::GetCode(error), -1);
  EXPECT_NE(MessageOf(error).find("Failed to update cloned vol snap info. KZSnapClientAPI error["), std::string::npos)
      << MessageOf(error);
  EXPECT_TRUE(testing_support::FileExists(Path("101_IdxCarryFwd")));
  EXPECT_FALSE(testing_support::FileExists(Path("101_PSnapADone.kzf")));
  EXPECT_FALSE(testing_support::FileExists(Path("101_SnapAFilePseudoAFileMap.kzf")));
  testing_support::WriteFile(Path("101_IdxCarryFwd"), "503|4|0|0|OLD\n");

  std::vector<uint32_t> ids;
  ASSERT_FALSE(Run(&ids).IsError());
  EXPECT_EQ(ids, (std::vector<uint32_t>{505, 506}));
  EXPECT_EQ(testing_support::ReadFile(Path("101_SnapAFilePseudoAFileMap.kzf")), "501|505\n502|506\n");
  EXPECT_EQ(testing_support::ReadFile(Path("101_IdxCarryFwd")), "");
  EXPECT_NE(Clone().find("afile=505\n"), std::string::npos);
  EXPECT_NE(Clone().find("afile=506\n"), std::string::npos);
}

// A rerun that finds the marker reads the archive-file map, which is
// therefore written before the marker: a map left by an attempt that died
// before its marker is not taken for this attempt's.
TEST_F(PseudoSnapDriverTest, TheArchiveFileMapOfThisAttemptIsOnDiskBeforeTheMarker) {
  testing_support::WriteFile(Path("101_SnapAFilePseudoAFileMap.kzf"), "501|901\n502|902\n");
  ASSERT_FALSE(Run().IsError());
  EXPECT_EQ(testing_support::ReadFile(Path("101_SnapAFilePseudoAFileMap.kzf")), "501|503\n502|504\n");
}

TEST_F(PseudoSnapDriverTest, CloneRewritesSnapsAndCopiesZfsMetadata) {
  const struct {
    const char* name;
    const char* from;
    const char* to;
    int osId;
    std::vector<const char*> present;
    std::vector<const char*> absent;
  } cases[] = {
      {"upper-case pool prefix",
       "options=zfs:tank",
       "options=ZFS:tank",
       49,
       {"map volume=2 snap=12 metadata=5\n"},
       {"metadata id=6"}},
      {"blank before the prefix",
       "options=zfs:tank",
       "options= zfs:tank",
       49,
       {"map volume=2 snap=12 metadata=5\n"},
       {"metadata id=6"}},
      {"map naming a missing snap",
       "map volume=1 snap=11",
       "map volume=1 snap=99",
       49,
       {"snap id=11 source=/dev/snapA\n", "snap id=12 source=/dev/sdc1\n"},
       {}},
      {"windows destination", "", "", 200, {"snap id=11 source=/mnt/a\n", "snap id=12 source=/mnt/b\n"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::ScopedStateDir state;
    SetUp();
    if (*c.from != '\0') ReplaceSnapRecord(c.from, c.to);
    SetOsId(c.osId);
    CQiError error = Run();
    ASSERT_FALSE(error.IsError()) << error.AsString();
    const std::string clone = Clone();
    for (const char* text : c.present) EXPECT_NE(clone.find(text), std::string::npos) << clone;
    for (const char* text : c.absent) EXPECT_EQ(clone.find(text), std::string::npos) << clone;
  }
}

// Without indexing V2 the job runs to the end with none of the index steps;
// with it, the volumes are published and a job whose cumulative bitmap
// folder is missing fails at the upload instead of passing unnoticed.
TEST_F(PseudoSnapDriverTest, IndexStepsOnlyWithIndexingV2) {
  Handler handler;
  ASSERT_FALSE(Initialize(handler, 29).IsError());
  CQiError error = handler.CreatePseudoSnapArchive(nullptr);
  ASSERT_TRUE(error.IsError());
  EXPECT_NE(error.AsString().find("Failed to carry fwd cumulative backup bitmaps"), std::string::npos)
      << error.AsString();
  EXPECT_FALSE(blbsim::IndexItems(101).empty());
}

// A synthetic full fetches the snapshot record of the copy the job manager
// names: the last incremental job whose backup copy is done.
TEST_F(PseudoSnapDriverTest, SynthFullAsksTheJobManagerForTheSourceCopy) {
  const struct {
    const char* name;
    const char* fault;
    bool copied;
    const char* failure;  // null: success
  } cases[] = {
      {"copy done", nullptr, true, nullptr},
      {"no copied incremental", nullptr, false, "failed in processing GetLastIncrJobWithBackupCopyDone response"},
      {"no VornServe host", "KZPlatformInfo::getStowhostVSHostName", true,
       "failed to initialize jobClient, AppId[7] VSName[]"},
      {"job manager refuses", "KZJobClient::processXmlReq", true,
       "failed in processing GetLastIncrJobWithBackupCopyDone response"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::ScopedStateDir state;
    SetUp();
    platform::JobRecord incremental = Job(90, "");
    incremental.snapJobId = 55;
    incremental.copyId = 8;
    incremental.backupCopyDone = c.copied;
    ASSERT_TRUE(blbsim::AddJob(incremental));
    if (c.fault) platform::FaultTable::Set(c.fault, 5);
    Handler handler;
    ASSERT_FALSE(Initialize(handler).IsError());
    handler.m_eBackupLevel = KZ_BKP_LEVEL_SYNTHFULL;
    CQiError error = handler.GetSnapInfo();
    if (c.failure == nullptr) {
      ASSERT_FALSE(error.IsError()) << error.AsString();
      EXPECT_EQ(handler.m_oSnapVolSnapInfo.getCopyParamType(), 1);
      EXPECT_EQ(handler.m_oSnapVolSnapInfo.getCopyParam(), 8u);
      EXPECT_EQ(handler.m_oSnapVolSnapInfo.getRetrieveValidFlags(), 37u | 24u);
      EXPECT_EQ(handler.m_oSnapVolSnapInfo.numOfVolume(), 2);
    } else {
      EXPECT_EQ(FXErrorUtil::GetCode(error), -1);
      EXPECT_NE(error.AsString().find(c.failure), std::string::npos) << error.AsString();
    }
  }
  EXPECT_TRUE(log_.Contains("JM returned snapjobId[55], copyId[8], AppId[7] VCId[2] VSName[vornserve.local]"));
  EXPECT_TRUE(log_.Contains("Failed to get VS hostname"));
}

TEST_F(PseudoSnapDriverTest, VolumeTypesForUnixDestinationsOnly) {
  Handler unix;
  ASSERT_FALSE(Initialize(unix).IsError());
  ASSERT_FALSE(unix.CreatePseudoSnapArchive(nullptr).IsError());
  EXPECT_EQ(unix.m_mVolumeTypes, (std::map<std::string, int>{{"/mnt/a", 0}, {"/mnt/b", 1}}));
}

}  // namespace
