// Seed section "application_list": each client's application types (in the
// order of their rows; a client's rows replace its list), backup sets and
// instances, and the nodes of Oracle RAC instances ("rac_nodes", rows of
// instance and client in node order).
#include <map>

#include "platform/config/application_list.h"
#include "platform/harness/application_harness.h"
#include "platform/harness/harness_reads.h"
#include "platform/harness/seed_section.h"

namespace blbsim {
namespace {

class ApplicationListSection : public SeedSection {
 public:
  const char* Name() const override { return "application_list"; }
  std::vector<const char*> Keys() const override {
    return {"application_types", "backup_sets", "instances", "rac_nodes"};
  }

  void Read(const SeedObject& section) override {
    for (const SeedObject& row : section.Rows("application_types", {"client_id", "type", "name"}))
      types_[row.Unsigned("client_id")].push_back({row.Unsigned("type"), row.Text("name", "")});
    for (const SeedObject& row : section.Rows("backup_sets", {"id", "client_id", "app_type", "instance_id", "name"}))
      backupSets_.push_back({row.Unsigned("id"), row.Unsigned("client_id"), row.Unsigned("app_type"),
                             row.Unsigned("instance_id", 0), row.Text("name", "")});
    for (const SeedObject& row : section.Rows("instances", {"id", "client_id", "app_type", "name", "data_dir"}))
      instances_.push_back({row.Unsigned("id"), row.Unsigned("client_id"), row.Unsigned("app_type"),
                            row.Text("name", ""), row.Text("data_dir", "")});
    for (const SeedObject& row : section.Rows("rac_nodes", {"instance_id", "client_id"}))
      racNodes_[row.Unsigned("instance_id")].push_back(row.Unsigned("client_id"));
  }

  bool Apply() override {
    platform::ApplicationListBackend& list = platform::ApplicationList::Current();
    for (const auto& [client, types] : types_)
      if (!list.PutApplicationTypes(client, types)) return false;
    for (const platform::BackupSetRecord& backupSet : backupSets_)
      if (!list.PutBackupSet(backupSet)) return false;
    for (const platform::InstanceRecord& instance : instances_)
      if (!list.PutInstance(instance)) return false;
    for (const auto& [instance, nodes] : racNodes_)
      if (!list.PutRacNodes(instance, nodes)) return false;
    return true;
  }

  nlohmann::json Dump() override {
    platform::ApplicationListBackend& list = platform::ApplicationList::Current();
    nlohmann::json types = nlohmann::json::array();
    for (uint64_t client : ReadOrThrow<std::vector<uint64_t>>(
             [&](std::vector<uint64_t>& ids) { return list.ClientsWithApplicationTypes(ids); }))
      for (const platform::ApplicationTypeRecord& type : ApplicationTypes(client))
        types.push_back({{"client_id", client}, {"type", type.type}, {"name", type.name}});
    nlohmann::json backupSets = nlohmann::json::array();
    for (const platform::BackupSetRecord& backupSet : BackupSets())
      backupSets.push_back({{"id", backupSet.id},
                            {"client_id", backupSet.clientId},
                            {"app_type", backupSet.appType},
                            {"instance_id", backupSet.instanceId},
                            {"name", backupSet.name}});
    nlohmann::json instances = nlohmann::json::array();
    for (const platform::InstanceRecord& instance : ReadOrThrow<std::vector<platform::InstanceRecord>>(
             [&](std::vector<platform::InstanceRecord>& found) { return list.AllInstances(found); }))
      instances.push_back({{"id", instance.id},
                           {"client_id", instance.clientId},
                           {"app_type", instance.appType},
                           {"name", instance.name},
                           {"data_dir", instance.dataDir}});
    nlohmann::json racNodes = nlohmann::json::array();
    for (uint64_t instance :
         ReadOrThrow<std::vector<uint64_t>>([&](std::vector<uint64_t>& ids) { return list.RacInstances(ids); }))
      for (uint64_t client :
           ReadOrThrow<std::vector<uint64_t>>([&](std::vector<uint64_t>& ids) { return list.RacNodes(instance, ids); }))
        racNodes.push_back({{"instance_id", instance}, {"client_id", client}});
    return {
        {"application_types", types}, {"backup_sets", backupSets}, {"instances", instances}, {"rac_nodes", racNodes}};
  }

 private:
  std::map<uint64_t, std::vector<platform::ApplicationTypeRecord>> types_;
  std::vector<platform::BackupSetRecord> backupSets_;
  std::vector<platform::InstanceRecord> instances_;
  std::map<uint64_t, std::vector<uint64_t>> racNodes_;
};

}  // namespace

std::unique_ptr<SeedSection> MakeApplicationListSection() {
  return std::make_unique<ApplicationListSection>();
}

}  // namespace blbsim
