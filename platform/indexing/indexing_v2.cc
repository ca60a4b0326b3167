#include "platform/indexing/indexing_v2.h"

#include "platform/config/agent_config.h"
#include "platform/sim/fault_table.h"

int shouldUseIndexingV2(uint64_t cellId, uint64_t appId, bool& useIndexingV2) {
  int code = 0;
  if (platform::InjectedFaultCode("shouldUseIndexingV2", code)) return code != 0 ? code : -1;
  std::optional<platform::SubclientRecord> subclient;
  if (!platform::AgentConfig::Current().FindSubclient(cellId, appId, subclient)) return platform::kServiceFailed;
  useIndexingV2 = subclient && subclient->indexingV2;
  return 0;
}
