#include "platform/services/fs_subclient_conf.h"

#include <optional>
#include <utility>
#include <vector>

#include "platform/config/agent_config.h"
#include "platform/log/ev_debug.h"
#include "platform/services/subclient.h"
#include "platform/sim/fault_table.h"

namespace {

int Failed(int code) {
  return code > 0 ? -code : (code < 0 ? code : -1);
}

}  // namespace

void TDebuggable::debug(const char* text) const {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 3, "%s", text != nullptr ? text : "");
}

int FSSubclientConf::load(ApplicationId* application, int) {
  m_bLoaded = false;
  m_vContents.clear();
  int code = 0;
  if (platform::InjectedFaultCode("FSSubclientConf::load", code)) return Failed(code);
  if (application == nullptr || !application->IsReadable()) return -1;
  platform::AgentConfigBackend& config = platform::AgentConfig::Current();
  std::optional<platform::SubclientRecord> subclient;
  std::vector<std::string> contents;
  // Contents that could not be read are never loaded as fewer contents.
  if (!config.FindSubclient(application->CellId(), application->AppId(), subclient))
    return Failed(platform::kServiceFailed);
  if (!subclient) return -1;
  if (!config.SubclientContents(application->CellId(), application->AppId(), contents))
    return Failed(platform::kServiceFailed);
  m_vContents = std::move(contents);
  m_bLoaded = true;
  return 0;
}

int FSSubclientConf::dirnames(FSCallback* callback, const char*) {
  int code = 0;
  if (platform::InjectedFaultCode("FSSubclientConf::dirnames", code)) return Failed(code);
  if (!m_bLoaded || callback == nullptr) return -1;
  for (const std::string& path : m_vContents)
    if (callback->putLine(path.c_str()) != 0) return -1;
  return 0;
}
