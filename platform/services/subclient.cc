#include "platform/services/subclient.h"

#include <optional>

#include "platform/config/agent_config.h"
#include "platform/sim/fault_table.h"

namespace {

std::optional<platform::SubclientRecord> Find(uint64_t cellId, uint64_t appId) {
  return platform::AgentConfig::Current().FindSubclient(cellId, appId);
}

}  // namespace

int Subclient::getProxyClientId(uint64_t& clientId, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("Subclient::getProxyClientId", code)) return code != 0 ? code : -1;
  std::optional<platform::SubclientRecord> record = Find(m_nCellId, m_nAppId);
  if (!record) return -1;
  clientId = record->proxyClientId;
  return 0;
}

int Subclient::getUseSource(bool& useSource, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("Subclient::getUseSource", code)) return code != 0 ? code : -1;
  std::optional<platform::SubclientRecord> record = Find(m_nCellId, m_nAppId);
  if (!record) return -1;
  useSource = record->useSource;
  return 0;
}

Subclient* ApplicationId::getSubclient(void*) {
  int code = 0;
  if (platform::InjectedFaultCode("ApplicationId::getSubclient", code)) return nullptr;
  if (!m_pSubclient) {
    if (!Find(m_nCellId, m_nAppId)) return nullptr;
    m_pSubclient.reset(new Subclient(m_nCellId, m_nAppId));
  }
  return m_pSubclient.get();
}
