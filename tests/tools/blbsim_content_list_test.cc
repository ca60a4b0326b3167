// The machine's configuration that the content list reads, seeded and
// inspected from the shell, and what the library then finds.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "platform/guid/guid_factory.h"
#include "platform/sim/fs_util.h"
#include "support/blbsim_command.h"
#include "support/test_platform.h"
#include "tracking/content_list.h"

using testing_support::RunBlbsim;

TEST(blbsimContentList, SeedsClientsSubclientsOracleFilesAndPoolMapsThatTheLoadFinds) {
  testing_support::ScopedStateDir scope;
  const std::string dir = scope.Path();
  const std::string t = scope.Sub("t");
  for (const char* folder : {"fs1", "fs2", "o1"}) ASSERT_TRUE(platform::MakeDirectories(t + "/" + folder));
  const std::string document = R"({
    "agent_config": {
      "clients": [{"id": 5, "name": "c1", "active": true}],
      "subclients": [
        {"cell_id": 2, "app_id": 7, "client_id": 5, "name": "fs", "app_type": 29, "backup_set_id": 129,
         "block_level_flags": 1, "contents": [")" + t + R"(/fs1", ")" + t + R"(/fs2"]},
        {"cell_id": 2, "app_id": 51, "client_id": 5, "name": "ora", "app_type": 22, "instance_id": 21,
         "block_level_flags": 1, "snap_backup": true, "oracle_backup_mode": 1}]},
    "application_list": {
      "application_types": [{"client_id": 5, "type": 29, "name": "File System"}, {"client_id": 5, "type": 22}],
      "backup_sets": [{"id": 129, "client_id": 5, "app_type": 29, "name": "defaultBackupSet"}],
      "instances": [{"id": 21, "client_id": 5, "app_type": 22, "name": "orcl"}]},
    "oracle_agent": {"files": [{"instance_id": 21, "pdb": "P1", "table_space": "USERS", "path": ")" + t + R"(/o1/a.dbf"}]},
    "volume_manager": {"groups": [{"name": "tank",
      "logical_volumes": [{"name": "fs1", "device": "tank/fs1", "physical_volumes": ["sdb", "sdc"]},
                          {"name": "fs2", "device": "tank/fs2", "physical_volumes": ["sdb", "sdc"]}],
      "physical_volumes": [{"name": "sdb", "device": "/dev/sdb"}, {"name": "sdc", "device": "/dev/sdc"}]}]}})";
  const std::string seed = scope.Sub("seed.json");
  testing_support::WriteFile(seed, document);
  std::string out;
  ASSERT_EQ(RunBlbsim(dir, "seed " + seed, &out), 0) << out;
  ASSERT_EQ(RunBlbsim(dir, "clientflags 2 inactive", &out), 0) << out;
  EXPECT_EQ(RunBlbsim(dir, "clientflags 77 active", &out), 1);
  EXPECT_EQ(RunBlbsim(dir, "clientflags 5 on", &out), 2);
  ASSERT_EQ(RunBlbsim(dir, "mnt real off"), 0);
  ASSERT_EQ(RunBlbsim(dir, "mnt add tank/fs1 " + t + "/fs1 zfs"), 0);
  ASSERT_EQ(RunBlbsim(dir, "mnt add tank/fs2 " + t + "/fs2 zfs"), 0);
  ASSERT_EQ(RunBlbsim(dir, "mnt add /dev/sdf1 " + t + "/o1"), 0);

  CContentList contents;
  ASSERT_FALSE(contents.Load(7, 2).IsError());
  std::list<VolumeConfig> records;
  contents.Get(records);
  std::vector<std::string> devices;
  for (const VolumeConfig& record : records) devices.push_back(record.Device() + " " + record.DeviceId());
  EXPECT_EQ(devices, (std::vector<std::string>{"/dev/sdb " + CGuidFactory::get_guid_nosalt("/dev/sdb"),
                                               "/dev/sdc " + CGuidFactory::get_guid_nosalt("/dev/sdc"),
                                               "/dev/sdb " + CGuidFactory::get_guid_nosalt("/dev/sdb"),
                                               "/dev/sdc " + CGuidFactory::get_guid_nosalt("/dev/sdc"),
                                               "/dev/sdf1 " + CGuidFactory::get_guid_nosalt(t + "/o1")}));

  ASSERT_EQ(RunBlbsim(dir, "apps calls", &out), 0);
  EXPECT_EQ(out,
            "getApplicationTypes client=5 type=0\n"
            "getBackupSetList client=5 type=29\n"
            "getSubclientList client=0 type=29\n"
            "getInstanceList client=5 type=22\n"
            "getApplications client=5 type=22\n");
  ASSERT_EQ(RunBlbsim(dir, "oracle requests", &out), 0);
  EXPECT_EQ(out, "type=22 instance=21 app=51 kind=5\n");
  ASSERT_EQ(RunBlbsim(dir, "lvm queries tank/fs1", &out), 0);
  EXPECT_EQ(out, "1\n");
  ASSERT_EQ(RunBlbsim(dir, "apptypes 5", &out), 0);
  EXPECT_EQ(out, "29 File System\n22 \n");

  // Each dump seeds the same rows again.
  const nlohmann::json seeded = nlohmann::json::parse(document);
  for (const char* service : {"volume_manager", "oracle_agent", "application_list"}) {
    ASSERT_EQ(RunBlbsim(dir, std::string("dump ") + service, &out), 0) << out;
    const nlohmann::json dumped = nlohmann::json::parse(out);
    testing_support::WriteFile(seed, out);
    ASSERT_EQ(RunBlbsim(dir, "seed " + seed, &out), 0) << out;
    ASSERT_EQ(RunBlbsim(dir, std::string("dump ") + service, &out), 0) << out;
    EXPECT_EQ(nlohmann::json::parse(out), dumped) << service;
  }
  ASSERT_EQ(RunBlbsim(dir, "dump agent_config", &out), 0) << out;
  const nlohmann::json config = nlohmann::json::parse(out)["agent_config"];
  EXPECT_EQ(config["subclients"][0]["contents"], seeded["agent_config"]["subclients"][0]["contents"]);
  EXPECT_EQ(config["clients"][0]["active"], false);  // client 2, switched off
  ASSERT_EQ(RunBlbsim(dir, "dump volume_manager", &out), 0) << out;
  EXPECT_EQ(nlohmann::json::parse(out)["volume_manager"]["groups"][0]["logical_volumes"][0]["physical_volumes"],
            nlohmann::json::parse(R"(["sdb", "sdc"])"));
}
