#include "platform/harness/seed.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "platform/bag/bag.h"
#include "platform/config/agent_config.h"
#include "platform/config/application_list.h"
#include "platform/dbagents/oracle_content.h"
#include "platform/harness/application_harness.h"
#include "platform/harness/harness_reads.h"
#include "platform/harness/services_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/indexing/index_agent_entries.h"
#include "platform/jobinfo/job_info_metadata.h"
#include "platform/sim/fault_table.h"
#include "platform/snapshot/snap_client_api.h"
#include "support/test_platform.h"

namespace {

using blbsim::SeedDocument;
using blbsim::SeedResult;

// A document with a valid archive section and the given agent_config section.
std::string Document(const std::string& agentConfig) {
  return R"({"archive_manager": {"archive_files": [{"afile_id": 4, "job_id": 10, "app_id": 7, "cell_id": 2,
                                                     "afile_type": 1}]},
             "agent_config": )" +
         agentConfig + "}";
}

// Seeds a document that must be refused; the message it was refused with.
std::string Refusal(const std::string& document) {
  std::string message;
  EXPECT_EQ(SeedDocument(document, message), SeedResult::kRefused) << document;
  return message;
}

}  // namespace

TEST(Seed, ABadRowRefusesTheWholeDocumentNamingItsPath) {
  testing_support::ScopedStateDir state;
  EXPECT_EQ(
      Refusal(Document(R"({"clients": [{"id": 5, "name": "a"}, {"id": 6, "nmae": "b"}]})")),
      "$.agent_config.clients[1].nmae: unknown key (known: id, name, host_name, job_results_dir, install_dir, active, "
      "virtual, os_id)");
  EXPECT_EQ(Refusal(Document(R"({"clients": [{"id": "5", "name": "a"}]})")),
            "$.agent_config.clients[0].id: expected a whole number of 0 or more, found string");
  EXPECT_EQ(Refusal(Document(R"({"subclients": [{"cell_id": 2, "app_id": -7, "client_id": 2}]})")),
            "$.agent_config.subclients[0].app_id: expected a whole number of 0 or more, found number");
  EXPECT_EQ(Refusal(Document(R"({"subclients": [{"cell_id": 2, "app_id": 7}]})")),
            "$.agent_config.subclients[0].client_id: missing");
  EXPECT_EQ(Refusal(Document(R"({"clients": {"id": 5}})")), "$.agent_config.clients: expected an array, found object");
  EXPECT_EQ(Refusal(R"({"archive_manger": {}})").substr(0, 36), "$.archive_manger: unknown key (known");
  EXPECT_EQ(Refusal(R"({"fault_table": {"faults": [{"call": "No::SuchCall", "code": 5}]}})"),
            "$.fault_table.faults[0].call: no failable call is named No::SuchCall");
  EXPECT_EQ(Refusal(R"({"fault_table": {"faults": [{"call": "KzFileLock::lock", "code": 5, "count": 0}]}})"),
            "$.fault_table.faults[0].count: expected -1 (every call) or a count above 0");
  EXPECT_EQ(Refusal(R"({"agent_config": ])").substr(0, 24), "$: not a JSON document: ");
  EXPECT_EQ(Refusal("[]"), "$: expected an object, found array");

  // The valid archive section of the refused documents wrote nothing.
  EXPECT_TRUE(blbsim::ArchiveFiles().empty());
  EXPECT_FALSE(blbsim::FindClient(5).has_value());
}

TEST(Seed, ARepeatedKeyOrANestingWithoutEndIsRefusedAtItsPlace) {
  testing_support::ScopedStateDir state;
  EXPECT_EQ(Refusal(Document(R"({"clients": [{"id": 5, "name": "a", "id": 6}]})")),
            "$.agent_config.clients[0].id: duplicate key");
  EXPECT_EQ(Refusal(R"({"agent_config": {}, "agent_config": {}})"), "$.agent_config: duplicate key");
  // A million levels took memory by the square of the depth.
  const size_t depth = 1000000;
  const std::string deep =
      R"({"agent_config": {"clients": )" + std::string(depth, '[') + std::string(depth, ']') + "}}";
  std::string path = "$.agent_config.clients";
  for (int level = 0; level < 62; ++level) path += "[0]";
  EXPECT_EQ(Refusal(deep), path + ": nested deeper than 64 levels");
  EXPECT_FALSE(blbsim::FindClient(5).has_value());
}

TEST(Seed, RowsAddToTheServiceAndReplaceTheirKey) {
  testing_support::ScopedStateDir state;
  std::string message;
  ASSERT_EQ(SeedDocument(R"({"agent_config": {"local_client_id": 9,
                                               "clients": [{"id": 9, "name": "n9", "job_results_dir": "/jr9"},
                                                           {"id": 2, "name": "renamed"}]},
                             "fault_table": {"faults": [{"call": "KzFileLock::lock", "code": 16, "mode": "throw",
                                                         "count": 2}]}})",
                         message),
            SeedResult::kSeeded)
      << message;
  EXPECT_EQ(blbsim::LocalClientId(), 9u);
  EXPECT_EQ(blbsim::FindClient(9)->jobResultsDir, "/jr9");
  EXPECT_EQ(blbsim::FindClient(2)->name, "renamed");
  EXPECT_EQ(blbsim::FindClient(2)->jobResultsDir, "");  // a row states every field; absent ones take defaults
  const std::vector<platform::Fault> faults = platform::FaultTable::List();
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0].mode, platform::FaultMode::kThrow);
  EXPECT_EQ(faults[0].remaining, 2);
  std::string unknown;
  EXPECT_FALSE(blbsim::DumpService("no_service", unknown));
}

TEST(Seed, WhatTheContentListReadsIsCheckedAndReplacedByItsKeys) {
  testing_support::ScopedStateDir state;
  EXPECT_EQ(Refusal(R"({"agent_config": {"subclients": [{"cell_id": 2, "app_id": 7, "client_id": 5,
                                                          "contents": ["/a", 5]}]}})"),
            "$.agent_config.subclients[0].contents[1]: expected a text, found number");
  EXPECT_EQ(Refusal(R"({"volume_manager": {"groups": [{"name": ""}]}})"),
            "$.volume_manager.groups[0].name: a group needs a name");
  EXPECT_EQ(Refusal(R"({"volume_manager": {"groups": [{"name": "tank", "logical_volumes":
                                                       [{"name": "fs1", "device": "tank/fs1",
                                                         "physical_volumes": "sdb"}]}]}})"),
            "$.volume_manager.groups[0].logical_volumes[0].physical_volumes: expected an array, found string");
  EXPECT_EQ(Refusal(R"({"oracle_agent": {"files": [{"instance_id": 21, "pdb": "P1"}]}})"),
            "$.oracle_agent.files[0].path: missing");

  // A client's type rows replace its list; a file seeded again keeps its
  // place and takes its new table space; a subclient's contents are its row's.
  std::string message;
  for (const char* document : {
           R"({"application_list": {"application_types": [{"client_id": 5, "type": 29}, {"client_id": 5, "type": 22}]},
               "oracle_agent": {"files": [{"instance_id": 21, "path": "/a"}, {"instance_id": 21, "path": "/b"}]},
               "agent_config": {"subclients": [{"cell_id": 2, "app_id": 7, "client_id": 5, "contents": ["/a", "/b"]}]}})",
           R"({"application_list": {"application_types": [{"client_id": 5, "type": 104, "name": "MySQL"}]},
               "oracle_agent": {"files": [{"instance_id": 21, "table_space": "USERS", "path": "/a"}]},
               "agent_config": {"subclients": [{"cell_id": 2, "app_id": 7, "client_id": 5}]}})"})
    ASSERT_EQ(SeedDocument(document, message), SeedResult::kSeeded) << message;
  const std::vector<platform::ApplicationTypeRecord> types = blbsim::ApplicationTypes(5);
  ASSERT_EQ(types.size(), 1u);
  EXPECT_EQ(types[0].name, "MySQL");
  const std::vector<platform::OracleFileRecord> files = blbsim::OracleFiles(21);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].path, "/a");
  EXPECT_EQ(files[0].tableSpace, "USERS");
  EXPECT_TRUE(blbsim::SubclientContents(2, 7).empty());
}

TEST(Seed, JobInfoRecordsAndIndexItemsRoundTrip) {
  testing_support::ScopedStateDir state;
  EXPECT_EQ(Refusal(R"({"job_info": {"jobs": [{"job_id": 101, "delimiter": "//"}]}})"),
            "$.job_info.jobs[0].delimiter: more than one character");
  EXPECT_EQ(Refusal(R"({"job_info": {"jobs": [{"job_id": 101, "store_flag": 64}]}})").substr(0, 48),
            "$.job_info.jobs[0].store_flag: unknown key (know");
  EXPECT_EQ(Refusal(R"({"index_items": {"items": [{"job_id": 101, "line": "a\nb"}]}})"),
            "$.index_items.items[0].line: not one non-empty line");
  EXPECT_EQ(Refusal(R"({"index_items": {"items": [{"line": "done"}]}})"), "$.index_items.items[0].job_id: missing");

  std::string message;
  const std::string document =
      R"({"job_info": {"jobs": [{"job_id": 101, "start_time": 5, "metadata_type": 2, "store_flags": 64,
                                 "additional_flags": 532, "afile_id": 503, "delimiter": "/", "uploaded": true}]},
          "index_items": {"items": [{"job_id": 101, "line": "restart 0x1"}, {"job_id": 101, "line": "done"}]}})";
  ASSERT_EQ(SeedDocument(document, message), SeedResult::kSeeded) << message;
  std::string jobs, items;
  ASSERT_TRUE(blbsim::DumpService("job_info", jobs));
  ASSERT_TRUE(blbsim::DumpService("index_items", items));
  EXPECT_NE(jobs.find("\"additional_flags\": 532"), std::string::npos) << jobs;
  EXPECT_NE(jobs.find("\"delimiter\": \"/\""), std::string::npos) << jobs;
  EXPECT_LT(items.find("restart 0x1"), items.find("done")) << items;
}

TEST(Seed, JobDetailsRoundTripForTheJobsOfTheService) {
  testing_support::ScopedStateDir state;
  EXPECT_EQ(Refusal(R"({"job_manager": {"details": [{"attributes": 1}]}})"),
            "$.job_manager.details[0].job_id: missing");
  std::string message;
  const std::string document =
      R"({"job_manager": {"jobs": [{"job_id": 500, "cell_id": 2, "app_id": 7, "level": 1, "bkp_attributes": 4096}],
                          "details": [{"job_id": 500, "attributes": 1048576, "xml_blob": "<d/>"}]}})";
  ASSERT_EQ(SeedDocument(document, message), SeedResult::kSeeded) << message;
  std::string dumped;
  ASSERT_TRUE(blbsim::DumpService("job_manager", dumped));
  EXPECT_NE(dumped.find("\"attributes\": 1048576"), std::string::npos) << dumped;
  EXPECT_NE(dumped.find("\"xml_blob\": \"<d/>\""), std::string::npos) << dumped;
  EXPECT_NE(dumped.find("\"bkp_attributes\": 4096"), std::string::npos) << dumped;
  EXPECT_EQ(Refusal(R"({"job_manager": {"jobs": [{"job_id": 501, "cell_id": 2, "app_id": 7, "level": 1,
                                                  "bkp_attributes": 4294967296}]}})"),
            "$.job_manager.jobs[0].bkp_attributes: out of range");
}

TEST(Seed, AgentEntriesBagsAndCopyIdsReachTheServicesAndDumpAsSeeded) {
  std::unique_ptr<testing_support::ScopedStateDir> state = std::make_unique<testing_support::ScopedStateDir>();
  EXPECT_EQ(Refusal(R"({"job_info": {"bags": [{"job_id": 500, "container": "C", "storage_type": 3}]}})"),
            "$.job_info.bags[0].storage_type: neither 1 (index) nor 2 (reference copy)");
  EXPECT_EQ(Refusal(R"({"job_info": {"bags": [{"job_id": 500, "container": "C", "storage_type": 1,
                                               "values": [{"key": "K", "value": "1"}, {"key": "K", "value": "2"}]}]}})"),
            "$.job_info.bags[0].values[1].key: empty or repeated");
  EXPECT_EQ(Refusal(R"({"index_items": {"agent_entries": [{"cell_id": 2, "app_id": 21, "job_id": 500,
                                                           "path": "/ORCL/a", "afile_id": 4294967296}]}})"),
            "$.index_items.agent_entries[0].afile_id: out of range");
  EXPECT_EQ(Refusal(R"({"snapshot_library": {"copy_ids": [{"job_id": 501, "archive_type": 1}]}})"),
            "$.snapshot_library.copy_ids[0].copy_id: missing");

  const std::string document = R"({
      "job_info": {"bags": [{"job_id": 500, "container": "OraImageCopyInfo/OracleImageCopy", "storage_type": 1,
                             "values": [{"key": "RmanImageCopyTag", "value": "TAG1"},
                                        {"key": "OraDatabaseContent", "value": "a=b;c%"}]}]},
      "index_items": {"agent_entries": [
          {"cell_id": 2, "app_id": 25, "job_id": 500, "path": "/pg1", "afile_id": 80, "guid": "G1", "group_id": 3,
           "mount_point": true},
          {"cell_id": 2, "app_id": 25, "job_id": 500, "path": "/TblView", "view": "TABLEVIEW", "afile_id": 81}]},
      "snapshot_library": {"copy_ids": [{"job_id": 501, "archive_type": 4, "copy_id": 9}]}})";
  // What a dump shows seeds a new state directory to the same dump.
  std::map<std::string, std::string> dumps;
  nlohmann::json reseeded = nlohmann::json::object();
  for (int pass = 0; pass < 2; ++pass) {
    state.reset();
    state = std::make_unique<testing_support::ScopedStateDir>();
    std::string message;
    ASSERT_EQ(SeedDocument(pass == 0 ? document : reseeded.dump(), message), SeedResult::kSeeded) << message;
    std::string bag;
    ASSERT_EQ(platform::JobInfoMetadata::Current().ReadBag(500, "OraImageCopyInfo/OracleImageCopy", 1, bag), 0);
    CBag values;
    ASSERT_EQ(values.LoadSerializedData(bag).GetErrorCode(), 0) << bag;
    std::string content;
    EXPECT_EQ(values.Read("OraDatabaseContent", content).GetErrorCode(), 0);
    EXPECT_EQ(content, "a=b;c%");
    const std::vector<platform::AgentIndexEntry> all = blbsim::ReadOrThrow<std::vector<platform::AgentIndexEntry>>(
        [](std::vector<platform::AgentIndexEntry>& entries) { return platform::AllAgentIndexEntries(entries); });
    ASSERT_EQ(all.size(), 2u);
    EXPECT_TRUE(all[0].mountPoint);
    EXPECT_EQ(all[0].componentGuid, "G1");
    EXPECT_EQ(all[1].view, "TABLEVIEW");
    const auto copyId = [](uint32_t archiveType) {
      return blbsim::ReadOrThrow<std::optional<uint32_t>>([archiveType](std::optional<uint32_t>& id) {
        return platform::SnapshotLibrary::Current().FindCopyId(501, archiveType, id);
      });
    };
    EXPECT_EQ(copyId(4), std::optional<uint32_t>(9));
    EXPECT_FALSE(copyId(1).has_value());
    for (const char* service : {"job_info", "index_items", "snapshot_library"}) {
      std::string dumped;
      ASSERT_TRUE(blbsim::DumpService(service, dumped));
      if (pass == 0) {
        dumps[service] = dumped;
        reseeded.update(nlohmann::json::parse(dumped));
      } else {
        EXPECT_EQ(dumped, dumps[service]);
      }
    }
  }
}
