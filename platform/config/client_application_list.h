#pragma once
// ClientApplicationList: the agent's queries of a client's applications
// (platform::ApplicationList). Every query returns 0 on success (1627, the
// lists empty, when the list cannot be read), replaces its out lists and is
// logged (platform::ApplicationList::Current().Calls()).
// The trailing flag and reserved arguments are the agent's, unused here.
//
// Faults: "ClientApplicationList::<query>" (returns the fault's code, the
// lists untouched).
#include <cstdint>
#include <string>
#include <vector>

class ClientApplicationList {
 public:
  static int getApplicationTypes(std::vector<uint64_t>& types, std::vector<std::string>& names, uint64_t clientId,
                                 void* reserved, int flag);
  // The client's backup sets of the type whose instance is the given one or
  // 0; `flags` gets one 0 per backup set.
  static int getBackupSetList(std::vector<uint64_t>& ids, std::vector<std::string>& names, std::vector<uint64_t>& flags,
                              uint64_t clientId, uint64_t appType, uint64_t instanceId, void* reserved, int flag);
  static int getSubclientList(std::vector<uint64_t>& ids, std::vector<std::string>& names, uint64_t appType,
                              uint64_t backupSetId, void* reserved, int flag);
  static int getInstanceList(std::vector<uint64_t>& ids, std::vector<std::string>& names, uint64_t vornCellId,
                             uint64_t clientId, uint64_t appType, void* reserved, int flag);
  // One text per subclient of the instance, each read back by
  // ApplicationId(text).
  static int getApplications(std::vector<std::string>& texts, uint64_t vornCellId, uint64_t clientId, uint64_t appType,
                             uint64_t instanceId, int kind, void* reserved, bool flag);
};
