#include "platform/harness/application_harness.h"

#include <optional>

#include "platform/config/agent_config.h"

namespace blbsim {

bool SetClientFlags(uint64_t clientId, bool active, bool isVirtual) {
  platform::AgentConfigBackend& config = platform::AgentConfig::Current();
  std::optional<platform::ClientRecord> client = config.FindClient(clientId);
  if (!client) return false;
  client->active = active;
  client->isVirtual = isVirtual;
  return config.PutClient(*client);
}

bool SetApplicationTypes(uint64_t clientId, const std::vector<platform::ApplicationTypeRecord>& types) {
  return platform::ApplicationList::Current().PutApplicationTypes(clientId, types).ok();
}

bool AddBackupSet(const platform::BackupSetRecord& backupSet) {
  return platform::ApplicationList::Current().PutBackupSet(backupSet).ok();
}

bool AddInstance(const platform::InstanceRecord& instance) {
  return platform::ApplicationList::Current().PutInstance(instance);
}

bool SetSubclientContents(uint64_t cellId, uint64_t appId, const std::vector<std::string>& paths) {
  return platform::AgentConfig::Current().PutSubclientContents(cellId, appId, paths).ok();
}

bool AddOracleFile(const platform::OracleFileRecord& file) {
  return platform::OracleContent::Current().AddFile(file);
}

bool SetOracleStatus(uint64_t instanceId, int64_t status) {
  return platform::OracleContent::Current().SetStatus(instanceId, status);
}

bool AddVolumeGroup(const LVM::VG& group) {
  return platform::Lvm::Current().PutGroup(group);
}

std::vector<platform::ApplicationListCall> ApplicationListCalls() {
  return platform::ApplicationList::Current().Calls();
}

std::vector<platform::OracleContentRequest> OracleRequests() {
  return platform::OracleContent::Current().Requests();
}

uint64_t VolumeManagerQueries(const std::string& device) {
  return platform::Lvm::Current().Queries(device);
}

}  // namespace blbsim
