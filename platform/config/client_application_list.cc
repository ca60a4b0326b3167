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

int Failed(int code) { return code != 0 ? code : -1; }

}  // namespace

int ClientApplicationList::getApplicationTypes(std::vector<uint64_t>& types, std::vector<std::string>& names,
                                               uint64_t clientId, void*, int) {
  platform::ApplicationListBackend& list = Logged("getApplicationTypes", clientId, 0);
  int code = 0;
  if (platform::InjectedFaultCode("ClientApplicationList::getApplicationTypes", code)) return Failed(code);
  types.clear();
  names.clear();
  for (const platform::ApplicationTypeRecord& type : list.ApplicationTypes(clientId)) {
    types.push_back(type.type);
    names.push_back(type.name);
  }
  return 0;
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
  for (const platform::BackupSetRecord& backupSet : list.BackupSets(clientId, appType, instanceId)) {
    ids.push_back(backupSet.id);
    names.push_back(backupSet.name);
    flags.push_back(0);
  }
  return 0;
}

int ClientApplicationList::getSubclientList(std::vector<uint64_t>& ids, std::vector<std::string>& names,
                                            uint64_t appType, uint64_t backupSetId, void*, int) {
  platform::ApplicationListBackend& list = Logged("getSubclientList", 0, appType);
  int code = 0;
  if (platform::InjectedFaultCode("ClientApplicationList::getSubclientList", code)) return Failed(code);
  ids.clear();
  names.clear();
  for (const platform::SubclientRecord& subclient : list.BackupSetSubclients(backupSetId)) {
    ids.push_back(subclient.appId);
    names.push_back(subclient.name);
  }
  return 0;
}

int ClientApplicationList::getInstanceList(std::vector<uint64_t>& ids, std::vector<std::string>& names, uint64_t,
                                           uint64_t clientId, uint64_t appType, void*, int) {
  platform::ApplicationListBackend& list = Logged("getInstanceList", clientId, appType);
  int code = 0;
  if (platform::InjectedFaultCode("ClientApplicationList::getInstanceList", code)) return Failed(code);
  ids.clear();
  names.clear();
  for (const platform::InstanceRecord& instance : list.Instances(clientId, appType)) {
    ids.push_back(instance.id);
    names.push_back(instance.name);
  }
  return 0;
}

int ClientApplicationList::getApplications(std::vector<std::string>& texts, uint64_t vornCellId, uint64_t clientId,
                                           uint64_t appType, uint64_t instanceId, int, void*, bool) {
  platform::ApplicationListBackend& list = Logged("getApplications", clientId, appType);
  int code = 0;
  if (platform::InjectedFaultCode("ClientApplicationList::getApplications", code)) return Failed(code);
  texts.clear();
  for (const platform::SubclientRecord& subclient : list.InstanceSubclients(vornCellId, clientId, appType, instanceId))
    texts.push_back(platform::ApplicationIdText(subclient.cellId, subclient.appId));
  return 0;
}
