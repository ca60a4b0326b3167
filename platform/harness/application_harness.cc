#include "platform/harness/application_harness.h"

#include <optional>

#include "platform/config/agent_config.h"
#include "platform/harness/harness_reads.h"

namespace blbsim {

bool SetClientFlags(uint64_t clientId, bool active, bool isVirtual) {
  platform::AgentConfigBackend& config = platform::AgentConfig::Current();
  std::optional<platform::ClientRecord> client;
  if (!config.FindClient(clientId, client) || !client) return false;
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

std::vector<platform::ApplicationTypeRecord> ApplicationTypes(uint64_t clientId) {
  return ReadOrThrow<std::vector<platform::ApplicationTypeRecord>>(
      [clientId](std::vector<platform::ApplicationTypeRecord>& types) {
        return platform::ApplicationList::Current().ApplicationTypes(clientId, types);
      });
}

std::vector<platform::BackupSetRecord> BackupSets() {
  return ReadOrThrow<std::vector<platform::BackupSetRecord>>([](std::vector<platform::BackupSetRecord>& backupSets) {
    return platform::ApplicationList::Current().AllBackupSets(backupSets);
  });
}

std::vector<std::string> SubclientContents(uint64_t cellId, uint64_t appId) {
  return ReadOrThrow<std::vector<std::string>>([cellId, appId](std::vector<std::string>& paths) {
    return platform::AgentConfig::Current().SubclientContents(cellId, appId, paths);
  });
}

std::vector<platform::OracleFileRecord> OracleFiles(uint64_t instanceId) {
  return ReadOrThrow<std::vector<platform::OracleFileRecord>>(
      [instanceId](std::vector<platform::OracleFileRecord>& files) {
        return platform::OracleContent::Current().Files(instanceId, files);
      });
}

std::vector<platform::ApplicationListCall> ApplicationListCalls() {
  return ReadOrThrow<std::vector<platform::ApplicationListCall>>([](std::vector<platform::ApplicationListCall>& calls) {
    return platform::ApplicationList::Current().Calls(calls);
  });
}

std::vector<platform::OracleContentRequest> OracleRequests() {
  return ReadOrThrow<std::vector<platform::OracleContentRequest>>(
      [](std::vector<platform::OracleContentRequest>& requests) {
        return platform::OracleContent::Current().Requests(requests);
      });
}

uint64_t VolumeManagerQueries(const std::string& device) {
  return ReadOrThrow<uint64_t>([&device](uint64_t& count) { return platform::Lvm::Current().Queries(device, count); });
}

}  // namespace blbsim
