#include <gtest/gtest.h>
#include <unistd.h>

#include "tracking/content_list.h"
#include "tracking/content_list_test_fixtures.h"

namespace {

using content_list_test::G;
using content_list_test::Machine;
using content_list_test::Pairs;
using platform::SubclientRecord;

// A database subclient of c1 in cell 2.
SubclientRecord DatabaseSubclient(uint64_t app, uint64_t type, uint64_t instance, uint64_t flags) {
  SubclientRecord subclient;
  subclient.cellId = Machine::kCell;
  subclient.appId = app;
  subclient.clientId = Machine::kClient;
  subclient.name = "sc" + std::to_string(app);
  subclient.appType = type;
  subclient.instanceId = instance;
  subclient.blockLevelFlags = flags;
  subclient.snapBackup = true;
  return subclient;
}

void Add(const SubclientRecord& subclient) { EXPECT_TRUE(blbsim::AddSubclient(subclient)); }

void Instance(uint64_t id, uint64_t type, const std::string& dataDir = std::string()) {
  EXPECT_TRUE(blbsim::AddInstance({id, Machine::kClient, type, "inst" + std::to_string(id), dataDir}));
}

void Link(const std::string& target, const std::string& link) {
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link;
}

bool SameRequest(const platform::OracleContentRequest& request, uint32_t type, int64_t instance, int64_t app) {
  return request.appType == type && request.instanceId == instance && request.appId == app && request.kind == 5;
}

}  // namespace

TEST(ContentListDatabases, MySqlDataDirectoryAndWhatItHolds) {
  Machine machine;
  const std::string mysql = machine.Mount("/dev/sdd1", "mysql");
  const std::string ssd = machine.Mount("/dev/sde1", "ssd");
  testing_support::WriteFile(mysql + "/ibdata1", "x");
  Link(machine.Dir("ssd/ts"), mysql + "/ts");
  Link(machine.T + "/nowhere", mysql + "/stale");  // a link that leads nowhere adds nothing
  Instance(11, 104, "a:" + mysql + ";b");
  Add(DatabaseSubclient(41, 104, 11, SubclientRecord::kBlockLevel));

  const Pairs expected{{"/dev/sdd1", G(mysql)}, {"/dev/sdd1", G(mysql)}, {"/dev/sde1", G(ssd)}};
  EXPECT_EQ(machine.Devices(), expected);

  // A data directory reached through a link ending in "/" is walked where it lies.
  Link(mysql, machine.T + "/current");
  Instance(11, 104, "a:" + machine.T + "/current/;b");
  EXPECT_EQ(machine.Devices(), expected);

  // A value that names no data directory skips its subclient; the load goes on.
  Instance(12, 104, "nocolon");
  Add(DatabaseSubclient(42, 104, 12, SubclientRecord::kBlockLevel));
  CQiError result;
  EXPECT_EQ(machine.Devices(&result), expected);
  EXPECT_FALSE(result.IsError());
  EXPECT_TRUE(machine.log.Contains("[-1] "));
  EXPECT_TRUE(machine.log.Contains("MySQL data directory value [nocolon] names no data directory, skipping subclient sc42"));

  // A data directory that is not there fails the load.
  Instance(11, 104, "a:" + machine.T + "/gone;b");
  machine.Devices(&result);
  EXPECT_EQ(result.GetMessage(), "Failed to determine if the path was a link");
  Instance(11, 104, "a:" + mysql + ";b");

  // The SPOS flag alone is not enough for a database.
  Add(DatabaseSubclient(41, 104, 11, SubclientRecord::kBlockLevelSPOS));
  EXPECT_TRUE(machine.Devices().empty());
}

TEST(ContentListDatabases, PostgreSqlDataDirectoryAndTableSpaces) {
  Machine machine;
  const std::string pg = machine.Mount("/dev/sdd1", "pg");
  const std::string ssd = machine.Mount("/dev/sde1", "ssd");
  machine.Dir("pg/pg_tblspc/pgsql_tmp");
  Link(machine.Dir("ssd/ts1"), pg + "/pg_tblspc/16384");
  Instance(13, 125, pg);
  Add(DatabaseSubclient(43, 125, 13, SubclientRecord::kBlockLevel));

  EXPECT_EQ(machine.Devices(), (Pairs{{"/dev/sdd1", G(pg)}, {"/dev/sde1", G(ssd)}, {"/dev/sdd1", G(pg)}}));

  // A table-space folder that cannot be listed fails the load.
  blbsim::SetFault("CQiDirectory::Open", 2);
  CQiError result;
  machine.Devices(&result);
  EXPECT_EQ(result.GetMessage(), "Failed to open the directory [" + pg + "/pg_tblspc]");
  EXPECT_NE(result.AsString().find("Failed to enumerate device list, DB clientId=5 AppType=125"), std::string::npos);
  blbsim::ClearFaults();
  blbsim::SetFault("CQiDirectory::GetEntry", 5);
  machine.Devices(&result);
  EXPECT_TRUE(FXErrorUtil::IsWin32(result, 1627));
  EXPECT_EQ(result.GetMessage().rfind("CQiDirectory::GetEntry failed with error [5:", 0), 0u) << result.GetMessage();
}

TEST(ContentListDatabases, OracleDataFilesOfPluggableDatabasesOrTheDatabaseItself) {
  Machine machine;
  const std::string o1 = machine.Mount("/dev/sdf1", "o1");
  const std::string o2 = machine.Mount("/dev/sdg1", "o2");
  const std::string o3 = machine.Mount("/dev/sdh1", "o3");
  Instance(21, 22);
  ASSERT_TRUE(blbsim::AddOracleFile({21, "P1", "SYSTEM", o1 + "/a.dbf"}));
  ASSERT_TRUE(blbsim::AddOracleFile({21, "P2", "USERS", o2 + "/b.dbf"}));
  ASSERT_TRUE(blbsim::AddOracleFile({21, "", "SYSTEM", o3 + "/c.dbf"}));
  SubclientRecord oracle = DatabaseSubclient(51, 22, 21, SubclientRecord::kBlockLevel);
  oracle.oracle.backupMode = 2;
  Add(oracle);

  EXPECT_EQ(machine.Devices(), (Pairs{{"/dev/sdf1", G(o1)}, {"/dev/sdg1", G(o2)}}));
  ASSERT_EQ(blbsim::OracleRequests().size(), 1u);
  EXPECT_TRUE(SameRequest(blbsim::OracleRequests().back(), 22, 21, 0));
  EXPECT_TRUE(machine.log.Contains("subclient: name[sc51]  content[" + o1 + "/a.dbf]"));

  // Backup mode 1 asks for the subclient's own part; a database of type 80
  // without pluggable databases gives its own table spaces; SPOS alone is
  // enough for Oracle.
  oracle.oracle.backupMode = 1;
  Add(oracle);
  Instance(23, 80);
  ASSERT_TRUE(blbsim::AddOracleFile({23, "", "SYSTEM", o3 + "/c.dbf"}));
  ASSERT_TRUE(blbsim::AddOracleFile({23, "", "SYSAUX", o3 + "/d.dbf"}));
  Add(DatabaseSubclient(53, 80, 23, SubclientRecord::kBlockLevelSPOS));
  EXPECT_EQ(machine.Devices(), (Pairs{{"/dev/sdf1", G(o1)}, {"/dev/sdg1", G(o2)}, {"/dev/sdh1", G(o3)},
                                     {"/dev/sdh1", G(o3)}}));
  EXPECT_TRUE(SameRequest(blbsim::OracleRequests()[1], 22, 21, 51));
  EXPECT_TRUE(SameRequest(blbsim::OracleRequests()[2], 80, 23, 0));

  // A failing reply ends the load.
  ASSERT_TRUE(blbsim::SetOracleStatus(21, 3));
  CQiError result;
  machine.Devices(&result);
  EXPECT_TRUE(FXErrorUtil::IsWin32(result, 1627));
  EXPECT_EQ(result.GetMessage(), "Oracle: UxaBackup::getDatabaseContent() failed ");
  EXPECT_NE(result.AsString().find("Failed to enumerate device list, DB clientId=5 AppType=22"), std::string::npos);
}

TEST(ContentListDatabases, OracleSubclientsThatTakeNoPart) {
  Machine machine;
  const std::string o3 = machine.Mount("/dev/sdh1", "o3");
  Instance(21, 22);
  SubclientRecord oracle = DatabaseSubclient(51, 22, 21, SubclientRecord::kBlockLevel);
  oracle.oracle.snapImageCopy = true;
  oracle.oracle.imageCopyDir = "+DATA";
  Add(oracle);
  SubclientRecord nonSnap = DatabaseSubclient(52, 22, 21, SubclientRecord::kBlockLevel);
  nonSnap.snapBackup = false;
  Add(nonSnap);
  // Registered as a plain subclient: its image-copy setting cannot be read.
  SubclientRecord plain = DatabaseSubclient(54, 22, 21, SubclientRecord::kBlockLevel);
  plain.plainSubclient = true;
  Add(plain);
  Add(DatabaseSubclient(55, 22, 21, 0));

  CQiError result;
  EXPECT_TRUE(machine.Devices(&result).empty());
  EXPECT_FALSE(result.IsError());
  EXPECT_TRUE(machine.log.Contains("ASM devices are not currently handled"));
  EXPECT_TRUE(machine.log.Contains("Skip non-snap subclient :sc52"));
  EXPECT_TRUE(machine.log.Contains("Subclient sc54 (id 54) is not an Oracle subclient, skipping it"));
  EXPECT_TRUE(blbsim::OracleRequests().empty());

  // An image-copy directory is the subclient's one path.
  oracle.oracle.imageCopyDir = o3 + "/copy";
  Add(oracle);
  EXPECT_EQ(machine.Devices(), (Pairs{{"/dev/sdh1", G(o3)}}));
}

TEST(ContentListDatabases, DataOnTheRootVolumeKeepsItsRecord) {
  Machine machine;
  ASSERT_TRUE(blbsim::AddMount("/dev/sda1", "/"));
  Instance(11, 104, "a:" + machine.Dir("mysql") + ";b");
  Add(DatabaseSubclient(41, 104, 11, SubclientRecord::kBlockLevel));
  Instance(21, 22);
  ASSERT_TRUE(blbsim::AddOracleFile({21, "", "SYSTEM", machine.T + "/system.dbf"}));
  Add(DatabaseSubclient(51, 22, 21, SubclientRecord::kBlockLevel));

  EXPECT_EQ(machine.Devices(), (Pairs{{"/dev/sda1", G("/")}, {"/dev/sda1", G("/")}}));

  // Without a volume for a path, the load fails.
  ASSERT_TRUE(blbsim::ClearMounts());
  CQiError result;
  machine.Devices(&result);
  EXPECT_EQ(result.GetMessage(), "could not find mount point for path " + machine.T + "/system.dbf");
}

TEST(ContentListDatabases, InstanceAndSubclientLookupsEndTheLoad) {
  Machine machine;
  Instance(21, 22);
  Add(DatabaseSubclient(51, 22, 21, SubclientRecord::kBlockLevel));
  struct Case {
    const char* call;
    std::string message;
  };
  for (const Case& failing :
       {Case{"ClientApplicationList::getInstanceList", "getInstanceList for clientId 5 type 22 failed"},
        Case{"ClientApplicationList::getApplications", "getApplications() call failure for  name[inst21] id[21]"},
        Case{"ApplicationId::getAppId", "getAppId() call failure for subclient: [2:51] "},
        Case{"ApplicationId::getSubclient", "getSubclient() call returned NULL for subclient: [2:51] "}}) {
    blbsim::SetFault(failing.call, 1);
    CQiError result;
    machine.Devices(&result);
    EXPECT_TRUE(FXErrorUtil::IsWin32(result, 1627)) << failing.call;
    EXPECT_EQ(result.GetMessage(), failing.message);
    EXPECT_NE(result.AsString().find("Failed to enumerate device list, DB clientId=5 AppType=22"), std::string::npos);
    blbsim::ClearFault(failing.call);
  }
}
