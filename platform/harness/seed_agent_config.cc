// Seed section "agent_config": this machine's client, clients and
// subclients (with their contents).
#include <optional>

#include "platform/config/agent_config.h"
#include "platform/harness/application_harness.h"
#include "platform/harness/harness_reads.h"
#include "platform/harness/seed_section.h"
#include "platform/harness/sim_harness.h"

namespace blbsim {
namespace {

class AgentConfigSection : public SeedSection {
 public:
  const char* Name() const override { return "agent_config"; }
  std::vector<const char*> Keys() const override { return {"local_client_id", "clients", "subclients"}; }

  void Read(const SeedObject& section) override {
    if (section.Has("local_client_id")) localClientId_ = section.Unsigned("local_client_id");
    for (const SeedObject& row : section.Rows(
             "clients", {"id", "name", "host_name", "job_results_dir", "install_dir", "active", "virtual", "os_id"})) {
      platform::ClientRecord client;
      client.id = row.Unsigned("id");
      client.name = row.Text("name");
      client.hostName = row.Text("host_name", "");
      client.jobResultsDir = row.Text("job_results_dir", "");
      client.installDir = row.Text("install_dir", "");
      client.active = row.Flag("active", false);
      client.isVirtual = row.Flag("virtual", false);
      client.osId = row.Integer32("os_id", 49);
      clients_.push_back(client);
    }
    for (const SeedObject& row : section.Rows("subclients", {"cell_id",
                                                             "app_id",
                                                             "client_id",
                                                             "proxy_client_id",
                                                             "use_source",
                                                             "block_level_flags",
                                                             "name",
                                                             "app_type",
                                                             "backup_set_id",
                                                             "instance_id",
                                                             "snap_backup",
                                                             "oracle_backup_mode",
                                                             "oracle_snap_image_copy",
                                                             "oracle_image_copy_dir",
                                                             "plain_subclient",
                                                             "indexing_v2",
                                                             "copy_id",
                                                             "group_id",
                                                             "guid",
                                                             "contents"})) {
      platform::SubclientRecord subclient;
      subclient.cellId = row.Unsigned("cell_id");
      subclient.appId = row.Unsigned("app_id");
      subclient.clientId = row.Unsigned("client_id");
      subclient.proxyClientId = row.Unsigned("proxy_client_id", 0);
      subclient.useSource = row.Flag("use_source", false);
      subclient.blockLevelFlags = row.Unsigned("block_level_flags", 0);
      subclient.name = row.Text("name", "");
      subclient.appType = row.Unsigned("app_type", 0);
      subclient.backupSetId = row.Unsigned("backup_set_id", 0);
      subclient.instanceId = row.Unsigned("instance_id", 0);
      subclient.snapBackup = row.Flag("snap_backup", false);
      subclient.oracle.backupMode = row.Integer32("oracle_backup_mode", 0);
      subclient.oracle.snapImageCopy = row.Flag("oracle_snap_image_copy", false);
      subclient.oracle.imageCopyDir = row.Text("oracle_image_copy_dir", "");
      subclient.plainSubclient = row.Flag("plain_subclient", false);
      subclient.indexingV2 = row.Flag("indexing_v2", true);
      subclient.copyId = row.Unsigned32("copy_id", 1);
      subclient.groupId = row.Unsigned32("group_id", 1);
      subclient.guid = row.Text("guid", "");
      subclients_.push_back({subclient, row.Texts("contents")});
    }
  }

  bool Apply() override {
    platform::AgentConfigBackend& config = platform::AgentConfig::Current();
    for (const platform::ClientRecord& client : clients_)
      if (!config.PutClient(client)) return false;
    for (const auto& [subclient, contents] : subclients_)
      if (!config.PutSubclient(subclient) || !config.PutSubclientContents(subclient.cellId, subclient.appId, contents))
        return false;
    return !localClientId_ || config.SetLocalClientId(*localClientId_);
  }

  nlohmann::json Dump() override {
    platform::AgentConfigBackend& config = platform::AgentConfig::Current();
    nlohmann::json clients = nlohmann::json::array();
    for (uint64_t id :
         ReadOrThrow<std::vector<uint64_t>>([&](std::vector<uint64_t>& ids) { return config.ClientIds(ids); })) {
      const std::optional<platform::ClientRecord> client = FindClient(id);
      if (!client) continue;
      clients.push_back({{"id", client->id},
                         {"name", client->name},
                         {"host_name", client->hostName},
                         {"job_results_dir", client->jobResultsDir},
                         {"install_dir", client->installDir},
                         {"active", client->active},
                         {"virtual", client->isVirtual},
                         {"os_id", client->osId}});
    }
    nlohmann::json subclients = nlohmann::json::array();
    const auto all = ReadOrThrow<std::vector<platform::SubclientRecord>>(
        [&](std::vector<platform::SubclientRecord>& found) { return config.Subclients(found); });
    for (const platform::SubclientRecord& subclient : all)
      subclients.push_back({{"cell_id", subclient.cellId},
                            {"app_id", subclient.appId},
                            {"client_id", subclient.clientId},
                            {"proxy_client_id", subclient.proxyClientId},
                            {"use_source", subclient.useSource},
                            {"block_level_flags", subclient.blockLevelFlags},
                            {"name", subclient.name},
                            {"app_type", subclient.appType},
                            {"backup_set_id", subclient.backupSetId},
                            {"instance_id", subclient.instanceId},
                            {"snap_backup", subclient.snapBackup},
                            {"oracle_backup_mode", subclient.oracle.backupMode},
                            {"oracle_snap_image_copy", subclient.oracle.snapImageCopy},
                            {"oracle_image_copy_dir", subclient.oracle.imageCopyDir},
                            {"plain_subclient", subclient.plainSubclient},
                            {"indexing_v2", subclient.indexingV2},
                            {"copy_id", subclient.copyId},
                            {"group_id", subclient.groupId},
                            {"guid", subclient.guid},
                            {"contents", SubclientContents(subclient.cellId, subclient.appId)}});
    return {{"local_client_id", LocalClientId()}, {"clients", clients}, {"subclients", subclients}};
  }

 private:
  std::optional<uint64_t> localClientId_;
  std::vector<platform::ClientRecord> clients_;
  std::vector<std::pair<platform::SubclientRecord, std::vector<std::string>>> subclients_;
};

}  // namespace

std::unique_ptr<SeedSection> MakeAgentConfigSection() {
  return std::make_unique<AgentConfigSection>();
}

}  // namespace blbsim
