#include "platform/config/client_application_list.h"

#include "platform/config/application_list.h"
#include "platform/services/subclient.h"
#include "platform/sim/fault_table.h"

namespace {

platform::ApplicationListBackend& Logged(const char* call, uint64_t clientId, uint64_t appType) {
  platform::ApplicationListBackend& list = platform::ApplicationList::Current();
  list.RecordCall({call, clientId, appType});
  return list;
}

int Failed(int code) {
  return code != 0 ? code : -1;
}

// 0 when the list was read; the service's failure, nothing handed out, when not.
int Answer(const platform::StateDbResult& read) {
  return read ? 0 : platform::kServiceFailed;
}

}  // namespace

int ClientApplicationList::getApplicationTypes(std::vector<uint64_t>& types, std::vector<std::string>& names,
                                               uint64_t clientId, void*, int) {
  platform::ApplicationListBackend& list = Logged("getApplicationTypes", clientId, 0);
  int code = 0;
  if (platform::InjectedFaultCode("ClientApplicationList::getApplicationTypes", code)) return Failed(code);
  types.clear();
  names.clear();
  std::vector<platform::ApplicationTypeRecord> found;
  const platform::StateDbResult read = list.ApplicationTypes(clientId, found);
  for (const platform::ApplicationTypeRecord& type : found) {
    types.push_back(type.type);
    names.push_back(type.name);
  }
  return Answer(read);
}

int ClientApplicationList::getBackupSetList(std::vector<uint64_t>& ids, std::vector<std::string>& names,
                                            std::vector<uint64_t>& flags, uint64_t clientId, uint64_t appType,
                                            uint64_t instanceId, void*, int) {
  platform::ApplicationListBackend& list = Logged("getBackupSetList", clientId, appType);
  int code = 0;
  if (platform::InjectedFaultCode("ClientApplicationList::getBackupSetList", code)) return Failed(code);
  ids.clear();
  names.clear();
  flags.clear();
  std::vector<platform::BackupSetRecord> found;
  const platform::StateDbResult read = list.BackupSets(clientId, appType, instanceId, found);
  for (const platform::BackupSetRecord& backupSet : found) {
    ids.push_back(backupSet.id);
    names.push_back(backupSet.name);
    flags.push_back(0);
  }
  return Answer(read);
}

int ClientApplicationList::getSubclientList(std::vector<uint64_t>& ids, std::vector<std::string>& names,
                                            uint64_t appType, uint64_t backupSetId, void*, int) {
  platform::ApplicationListBackend& list = Logged("getSubclientList", 0, appType);
  int code = 0;
  if (platform::InjectedFaultCode("ClientApplicationList::getSubclientList", code)) return Failed(code);
  ids.clear();
  names.clear();
  std::vector<platform::SubclientRecord> found;
  const platform::StateDbResult read = list.BackupSetSubclients(backupSetId, found);
  for (const platform::SubclientRecord& subclient : found) {
    ids.push_back(subclient.appId);
    names.push_back(subclient.name);
  }
  return Answer(read);
}

int ClientApplicationList::getInstanceList(std::vector<uint64_t>& ids, std::vector<std::string>& names, uint64_t,
                                           uint64_t clientId, uint64_t appType, void*, int) {
  platform::ApplicationListBackend& list = Logged("getInstanceList", clientId, appType);
  int code = 0;
  if (platform::InjectedFaultCode("ClientApplicationList::getInstanceList", code)) return Failed(code);
  ids.clear();
  names.clear();
  std::vector<platform::InstanceRecord> found;
  const platform::StateDbResult read = list.Instances(clientId, appType, found);
  for (const platform::InstanceRecord& instance : found) {
    ids.push_back(instance.id);
    names.push_back(instance.name);
  }
  return Answer(read);
}

int ClientApplicationList::getApplications(std::vector<std::string>& texts, uint64_t vornCellId, uint64_t clientId,
                                           uint64_t appType, uint64_t instanceId, int, void*, bool) {
  platform::ApplicationListBackend& list = Logged("getApplications", clientId, appType);
  int code = 0;
  if (platform::InjectedFaultCode("ClientApplicationList::getApplications", code)) return Failed(code);
  texts.clear();
  std::vector<platform::SubclientRecord> found;
  const platform::StateDbResult read = list.InstanceSubclients(vornCellId, clientId, appType, instanceId, found);
  for (const platform::SubclientRecord& subclient : found)
    texts.push_back(platform::ApplicationIdText(subclient.cellId, subclient.appId));
  return Answer(read);
}
