#include "platform/dbagents/oracle_rac_instance.h"

#include "platform/config/application_list.h"
#include "platform/sim/fault_table.h"

int OracleRacInstance::getRacInstanceList(uint64_t instanceId, std::list<OracleRacInstanceInfo>& nodes, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("OracleRacInstance::getRacInstanceList", code)) return code != 0 ? code : -1;
  nodes.clear();
  std::vector<uint64_t> clientIds;
  if (!platform::ApplicationList::Current().RacNodes(instanceId, clientIds)) return platform::kServiceFailed;
  for (uint64_t clientId : clientIds) {
    OracleRacInstanceInfo node;
    node.numbers[2] = clientId;
    nodes.push_back(node);
  }
  return 0;
}
