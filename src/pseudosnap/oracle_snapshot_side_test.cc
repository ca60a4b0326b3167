#include <algorithm>
#include <fstream>

#include "platform/config/application_list.h"
#include "platform/guid/guid_factory.h"
#include "platform/harness/index_harness.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/services_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/indexing/index_agent_entries.h"
#include "platform/indexing/index_carry_forward.h"
#include "platform/indexing/index_request_log.h"
#include "platform/jobs/bkp_job_client.h"
#include "platform/messages/uxa_messages.h"
#include "platform/sim/fault_table.h"
#include "pseudosnap/pseudosnap_test_fixtures.h"

namespace {

using pseudosnap_test::ConfigLine;

// The Oracle handler's state, open to the tests.
class OracleHandler : public COraclePseudoSnapArchiveHandlerPrivate {
 public:
  using CPseudoSnapArchiveHandlerPrivate::m_eBackupLevel;
  using CPseudoSnapArchiveHandlerPrivate::m_mMountMap;
  using CPseudoSnapArchiveHandlerPrivate::m_nJobId;
};

constexpr const char* kOracleSnapRecord =
    "job=55 snapjob=55 cell=2 engine=1 copy=0 synthfull=0\n"
    "volume id=1 path=/u01 options=rw flags=0x0 afile=501\n"
    "volume id=2 path=/u02 options=rw flags=0x0 afile=502\n"
    "snap id=11 source=/dev/snapA\n"
    "snap id=12 source=/dev/snapB\n"
    "map volume=1 snap=11 metadata=0\n"
    "map volume=2 snap=12 metadata=0\n";

constexpr const char* kAsmSnapRecord =
    "job=55 snapjob=55 cell=2 engine=1 copy=0 synthfull=0\n"
    "volume id=1 path=+DATA options=rw flags=0x10000 afile=501\n"
    "snap id=11 source=/dev/snapA\n"
    "map volume=1 snap=11 metadata=0\n"
    "disk id=1 device=/dev/sdd origin=DATA\n";

class OracleSnapshotSideTest : public pseudosnap_test::PseudoSnapTest {
 public:
  void SetUp() override {
    PseudoSnapTest::SetUp();
    platform::SubclientRecord subclient = *blbsim::FindSubclient(2, 7);
    subclient.appType = 22;
    ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
    SetSnapRecord(kOracleSnapRecord);
    WriteConfig({ConfigLine("/u01", "/dev/sdb1"), ConfigLine("/u02", "/dev/sdc1")});
    WriteVolumeTypes({{"/u01", "DATA"}, {"/u02", "LOGS"}});
  }

  static void SetSnapRecord(const char* text) {
    std::string why;
    ASSERT_TRUE(blbsim::AddSnapRecord(text, why)) << why;
  }

  void WriteVolumeTypes(const std::vector<std::pair<std::string, std::string>>& volumes) {
    testing_support::WriteFile(Path("OraVolumeType.kzf"), pseudosnap_test::VolumeTypeLines(volumes));
  }

  CQiError Run(OracleHandler& handler, std::vector<uint32_t>* ids = nullptr, bool indexingV2 = false) {
    CQiError error = handler.Initialize(2, 7, 22, KZ_BKP_LEVEL_INCREMENTAL, 101, 55, 0, 0, 2, sc_, "ss1", "tok", &ctrl_,
                                        indexingV2, false);
    if (error.IsError()) return error;
    return handler.CreatePseudoSnapArchive(ids);
  }

  // Instance ORCL, the snapshot job's run and its archive files within it,
  // and a subclient folder ready for the index's files.
  void PrepareIndexedRun() {
    platform::SubclientRecord subclient = *blbsim::FindSubclient(2, 7);
    subclient.instanceId = 5;
    ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
    ASSERT_TRUE(platform::ApplicationList::Current().PutInstance({5, 2, 22, "ORCL", ""}));
    platform::JobRecord snapJob = Job(55, "");
    snapJob.startTime = 1000;
    snapJob.endTime = 1600;
    ASSERT_TRUE(blbsim::AddJob(snapJob));
    for (platform::ArchiveFileRecord file : blbsim::ArchiveFiles()) {
      file.createTime = 1200;
      ASSERT_TRUE(platform::ArchiveManager::Current().Put(file));
    }
    ASSERT_TRUE(platform::MakeDirectories(Path("BlockLevelCumulativeBM")));
  }

  // The snap utility's calls of the run, as "name(request)".
  static std::vector<std::string> UtilityCalls(size_t from = 0) {
    std::vector<std::string> calls;
    const std::vector<platform::SnapServiceCall> all = blbsim::SnapCalls();
    for (size_t i = from; i < all.size(); ++i) {
      const platform::SnapServiceCall& call = all[i];
      if (call.call == "setClientId" || call.call == "setVornCellId" || call.call == "createSnapArchiveFiles")
        calls.push_back(call.call + "(" + call.request + ")");
    }
    return calls;
  }
};

TEST_F(OracleSnapshotSideTest, DataAndLogVolumesGetArchiveFilesOfTheirOwn) {
  // A volume path longer than a fixed line buffer must not stop the read.
  WriteVolumeTypes({{"/mnt/" + std::string(1100, 'x'), "DATA"}, {"/u01", "DATA"}, {"/u02", "LOGS"}});
  OracleHandler handler;
  std::vector<uint32_t> ids;
  CQiError error = Run(handler, &ids);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(UtilityCalls(),
            (std::vector<std::string>{"setClientId(0)", "setVornCellId(2)", "setClientId(0)", "setVornCellId(2)",
                                      "createSnapArchiveFiles(1, 7, 22, 2, 0, 2, /u01)",
                                      "createSnapArchiveFiles(4, 7, 22, 2, 0, 2, /u02)"}));
  EXPECT_EQ(ids, (std::vector<uint32_t>{503, 504}));
  EXPECT_EQ(testing_support::ReadFile(Path("101_SnapAFilePseudoAFileMap.kzf")), "501|503\n502|504\n");
  EXPECT_EQ(handler.m_mMountMap, (std::map<std::string, std::string>{{"/dev/sdb1", "/u01"}, {"/dev/sdc1", "/u02"}}));
}

TEST_F(OracleSnapshotSideTest, EachArchiveTypeMayHaveACopyOfItsOwnAndTheLastOneWins) {
  // The data and the log archives of the job are given copies of their own.
  for (const platform::SnapUtilCopyId& setting : {platform::SnapUtilCopyId{101, 1, 7}, {101, 4, 9}, {102, 4, 11}})
    ASSERT_TRUE(platform::SnapshotLibrary::Current().PutCopyId(setting));
  OracleHandler handler;
  std::vector<uint32_t> ids;
  CQiError error = Run(handler, &ids);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  ASSERT_EQ(ids, (std::vector<uint32_t>{503, 504}));
  std::map<uint64_t, uint32_t> copies;
  for (const platform::ArchiveFileRecord& file : blbsim::ArchiveFiles()) copies[file.archFileId] = file.copyId;
  EXPECT_EQ(copies[503], 7u);
  EXPECT_EQ(copies[504], 9u);
  std::optional<SMVolSnapInfo> clone = blbsim::FindSnapRecord(101, 2);
  ASSERT_TRUE(clone.has_value());
  EXPECT_EQ(clone->getCopyId(), 9u);
}

TEST_F(OracleSnapshotSideTest, VolumeTypeFileDecidesWhatIsMade) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> types;
    bool written;
    std::string failure;  // empty: success
    size_t archiveCalls;
  };
  const Case cases[] = {
      {{{"/u01", "DATA"}, {"/u02", "DATA"}}, true, "", 1},
      {{{"/u01", "LOGS"}, {"/u02", "LOGS"}}, true, "", 1},
      {{}, true, "No volumes found for data or log types from snap volumes", 0},
      {{{"/u01", "DATA"}}, true, "Could not find entry corresponding to [/u02] in archFileMap2", 1},
      {{}, false, "OraVolumeType.kzf open error 2", 0},
  };
  for (const Case& c : cases) {
    const size_t before = blbsim::SnapCalls().size();
    if (c.written)
      WriteVolumeTypes(c.types);
    else
      std::remove(Path("OraVolumeType.kzf").c_str());
    OracleHandler handler;
    std::vector<uint32_t> ids;
    CQiError error = Run(handler, &ids);
    SCOPED_TRACE(c.failure);
    if (c.failure.empty()) {
      ASSERT_FALSE(error.IsError()) << error.AsString();
      EXPECT_EQ(ids.size(), 2u);
    } else {
      EXPECT_NE(error.AsString().find(c.failure), std::string::npos) << error.AsString();
    }
    size_t archiveCalls = 0;
    for (const std::string& call : UtilityCalls(before)) archiveCalls += call.rfind("createSnapArchiveFiles", 0) == 0;
    EXPECT_EQ(archiveCalls, c.archiveCalls);
    std::remove(Path("101_PSnapADone.kzf").c_str());
  }
}

TEST_F(OracleSnapshotSideTest, AsmVolumesGoByTheirDiskGroups) {
  SetSnapRecord(kAsmSnapRecord);
  WriteConfig({ConfigLine("ORCL_VOL", "/dev/sdd")});
  WriteVolumeTypes({{"ORCL_VOL", "DATA"}});
  PrepareIndexedRun();
  pseudosnap_test::PutAgentEntry("/ORCL/system01.dbf", 501);
  OracleHandler handler;
  CQiError error = Run(handler, nullptr, true);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(handler.m_mMountMap, (std::map<std::string, std::string>{{"ORCL_VOL", "+DATA"}}));
  // The index knows the volume by its own name, never by its disk group.
  const std::vector<std::string> items = blbsim::IndexItems(101);
  const std::string volumeKey = GetObjectGuid("ORCL_VOL", 0, '/');
  EXPECT_NE(std::find(items.begin(), items.end(), "meta tag=0x60512130 len=0 value=" + volumeKey), items.end());
  const auto volData =
      std::find_if(items.begin(), items.end(), [](const std::string& item) { return item.rfind("idxmeta ", 0) == 0; });
  ASSERT_NE(volData, items.end());
  IdxMetadata::IdxMetaData metadata;
  ASSERT_EQ(metadata.unserialize(volData->substr(8)), 0) << *volData;
  CNMessageBase volume;
  ASSERT_TRUE(metadata.getObjectAccessor(35, 35, volume));
  EXPECT_EQ(volume.getstring(1, 1), "ORCL_VOL");
  for (const std::string& item : items) EXPECT_EQ(item.find("+DATA"), std::string::npos) << item;
  std::optional<SMVolSnapInfo> clone = blbsim::FindSnapRecord(101, 2);
  ASSERT_TRUE(clone.has_value());
  EXPECT_TRUE(clone->isAsmCloned());

  std::remove(Path("101_PSnapADone.kzf").c_str());
  WriteConfig({ConfigLine("ORCL_VOL", "/dev/sde")});
  OracleHandler unmatched;
  error = Run(unmatched);
  EXPECT_NE(error.AsString().find("MountPoint is empty. Could not find DiskGroup name for ASM Disk"), std::string::npos)
      << error.AsString();
}

// A match names the device by the record's volume, and the disk volumes
// after it are compared with that name: the record "ORCL_VOL" on /dev/sdd
// matches the FRA volume by its name, then no longer the DATA volume on
// /dev/sdd.
TEST_F(OracleSnapshotSideTest, AsmDiskVolumesAreComparedWithTheDeviceAsEarlierMatchesLeftIt) {
  SetSnapRecord(
      "job=55 snapjob=55 cell=2 engine=1 copy=0 synthfull=0\n"
      "volume id=1 path=+DATA options=rw flags=0x10000 afile=501\n"
      "snap id=11 source=/dev/snapA\n"
      "map volume=1 snap=11 metadata=0\n"
      "disk id=1 device=ORCL_VOL origin=FRA\n"
      "disk id=2 device=/dev/sdd origin=DATA\n");
  WriteConfig({ConfigLine("ORCL_VOL", "/dev/sdd")});
  OracleHandler handler;
  ASSERT_FALSE(Initialize(handler, 22).IsError());
  CQiError error = handler.GetSnapInfo();
  ASSERT_FALSE(error.IsError()) << error.AsString();
  log_.Clear();
  error = handler.GetMountMap();
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(handler.m_mMountMap, (std::map<std::string, std::string>{{"ORCL_VOL", "+FRA"}}));
  std::vector<std::string> compared;
  for (const std::string& line : log_.Lines())
    if (line.find("backup device") != std::string::npos) compared.push_back(line);
  EXPECT_EQ(compared, (std::vector<std::string>{
                          "[3] GetMountMap: backup device srcDevice=[ORCL_VOL]  diskSrcDevice=[/dev/sdd]",
                          "[3] GetMountMap: backup device srcDevice=[/dev/sdd]  diskSrcDevice=[ORCL_VOL]"}));
}

TEST_F(OracleSnapshotSideTest, SynthFullIsMarkedAsADataBackup) {
  OracleHandler handler;
  handler.m_eBackupLevel = KZ_BKP_LEVEL_SYNTHFULL;
  handler.m_nJobId = 101;
  CQiError error = handler.UpdateJMFlagOnSynthFULL();
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(blbsim::JobServiceAttributes(101), std::optional<uint32_t>(0x1000));

  platform::FaultTable::Set("KZBkpJobClient::updateInfo", 5);
  error = handler.UpdateJMFlagOnSynthFULL();
  EXPECT_EQ(FXErrorUtil::GetWin32(error), 774u);
  EXPECT_NE(error.AsString().find("Failed to set JMBKP_DATA_BACKUP attribute on job"), std::string::npos);
}

TEST_F(OracleSnapshotSideTest, IndexedJobCarriesTheAgentsEntriesForward) {
  PrepareIndexedRun();
  pseudosnap_test::PutAgentEntry("/ORCL/system01.dbf", 501);
  pseudosnap_test::PutAgentEntry("/ORCL/redo01.log", 502);
  pseudosnap_test::PutAgentEntry("/TblView/ORCL/USERS", 501, "TABLEVIEW");
  ASSERT_TRUE(platform::ClearIndexRequests());
  OracleHandler handler;
  CQiError error = Run(handler, nullptr, true);
  ASSERT_FALSE(error.IsError()) << error.AsString();

  // The agents' entries are asked for by the instance's paths, the table
  // views under their own view, both for the snapshot copy.
  std::vector<std::string> browses;
  for (const platform::IndexRequestRecord& record : blbsim::IndexRequests()) {
    databrowse::BrowseRequest request;
    if (record.call != "Browse" || request.unserialize(record.request) != 0) continue;
    CNMessageBase mode, advanced;
    if (!request.getObjectAccessor(8, 8, mode) || mode.getint64(1, 1) != 2 ||
        !request.getObjectAccessor(11, 11, advanced))
      continue;
    std::string line = std::to_string(advanced.getuint64(1, 1)) + " view=" + advanced.getstring(2, 2) + ":";
    for (const CNMessageBase& path : request.getlistobject(4, 4)) line += " " + path.getstring(1, 1);
    browses.push_back(line);
  }
  EXPECT_EQ(browses,
            (std::vector<std::string>{"4294967291 view=: /ORCL \\ORCL",
                                      "4294967291 view=TABLEVIEW: /TblView/ORCL \\TblView\\ORCL /+TblSpaceDep+/ORCL "
                                      "\\+TblSpaceDep+\\ORCL"}));

  std::vector<std::string> carried;
  for (const platform::IndexCarryForwardRecord& row : blbsim::IndexCarryForwards(101))
    carried.push_back(row.view + "|" + row.path + ">" + std::to_string(row.afileId));
  ASSERT_GE(carried.size(), 3u);
  EXPECT_EQ(
      std::vector<std::string>(carried.end() - 3, carried.end()),
      (std::vector<std::string>{"TABLEVIEW|/>503", "default|/ORCL/redo01.log>504", "default|/ORCL/system01.dbf>503"}));
}

}  // namespace
