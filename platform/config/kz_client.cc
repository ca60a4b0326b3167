#include "platform/config/kz_client.h"

#include <mutex>
#include <vector>

#include "platform/config/agent_config.h"
#include "platform/registry/kz_platform_info.h"
#include "platform/services/host_name.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"
#include "platform/text/fx_string.h"

namespace {

// 0 with the client's record; -1 for an unknown client, 1627 when the
// clients cannot be read.
int Find(uint64_t clientId, std::optional<platform::ClientRecord>& client) {
  client.reset();
  if (clientId != 0 && !platform::AgentConfig::Current().FindClient(clientId, client)) return platform::kServiceFailed;
  return client ? 0 : -1;
}

// Every client's record, by id; why not, when they could not be read.
platform::StateDbResult AllClients(std::vector<platform::ClientRecord>& clients) {
  clients.clear();
  platform::AgentConfigBackend& config = platform::AgentConfig::Current();
  std::vector<uint64_t> ids;
  platform::StateDbResult read = config.ClientIds(ids);
  for (size_t next = 0; read && next < ids.size(); ++next) {
    std::optional<platform::ClientRecord> client;
    read = config.FindClient(ids[next], client);
    if (client) clients.push_back(*client);
  }
  if (!read) clients.clear();
  return read;
}

// 0 for a name no client has, or when the clients could not be read.
uint64_t IdByName(const char* name) {
  if (name == nullptr || *name == '\0') return 0;
  std::vector<platform::ClientRecord> clients;
  AllClients(clients);
  for (const platform::ClientRecord& client : clients)
    if (client.name == name) return client.id;
  return 0;
}

uint64_t IdByNetworkHost(const std::string& hostName) {
  if (hostName.empty()) return 0;
  std::vector<platform::ClientRecord> clients;
  AllClients(clients);
  for (const platform::ClientRecord& client : clients) {
    std::string name, host;
    int port = 0, flags = 0;
    if (platform::SplitMangledHostName(client.hostName, name, host, port, flags) &&
        FXString::CompareNoCase(host.c_str(), hostName.c_str()) == 0)
      return client.id;
  }
  return 0;
}

// One text of the client's record; as Find answers.
int ReadClientText(uint64_t clientId, std::string platform::ClientRecord::*field, std::string& out) {
  std::optional<platform::ClientRecord> client;
  const int found = Find(clientId, client);
  if (found == 0) out = (*client).*field;
  return found;
}

}  // namespace

KZClient::KZClient(const char* name, bool, int) : m_nClientId(IdByName(name)) {}

KZClient::KZClient(const char* name, KZNameType, int, void*) : m_nClientId(IdByName(name)) {}

KZClient::KZClient(uint64_t clientId) : m_nClientId(clientId) {}

KZClient::KZClient(uint64_t, uint64_t clientId) : m_nClientId(clientId) {}

KZClient::KZClient(uint64_t, const std::string& hostName, bool, int) : m_nClientId(IdByNetworkHost(hostName)) {}

int KZClient::getClientId(uint64_t& id, void*) const {
  int code = 0;
  if (platform::InjectedFaultCode("KZClient::getClientId", code)) return -1;
  std::optional<platform::ClientRecord> client;
  const int found = Find(m_nClientId, client);
  id = found == 0 ? m_nClientId : 0;
  return found;
}

std::string KZClient::getName() const {
  int code = 0;
  std::string name;
  if (platform::InjectedFaultCode("KZClient::getName", code)) return name;
  ReadClientText(m_nClientId, &platform::ClientRecord::name, name);
  return name;
}

int KZClient::getNetworkHostnameMangled(std::string& host, void*) const {
  int code = 0;
  if (platform::InjectedFaultCode("KZClient::getNetworkHostnameMangled", code)) return -1;
  return ReadClientText(m_nClientId, &platform::ClientRecord::hostName, host);
}

int KZClient::getjobResultDirectory(std::string& directory, void*) const {
  int code = 0;
  if (platform::InjectedFaultCode("KZClient::getjobResultDirectory", code)) return -1;
  return ReadClientText(m_nClientId, &platform::ClientRecord::jobResultsDir, directory);
}

int KZClient::getInstallDirectory(std::string& directory, int, void*) const {
  int code = 0;
  if (platform::InjectedFaultCode("KZClient::getInstallDirectory", code)) return -1;
  return ReadClientText(m_nClientId, &platform::ClientRecord::installDir, directory);
}

int KZClient::getOperatingSystemId(int& osId) const {
  int code = 0;
  if (platform::InjectedFaultCode("KZClient::getOperatingSystemId", code)) return code != 0 ? code : -1;
  std::optional<platform::ClientRecord> client;
  const int found = Find(m_nClientId, client);
  if (found == 0) osId = client->osId;
  return found;
}

int ClientProperties::isVirtualClient(bool& isVirtual, void*) const {
  int code = 0;
  if (platform::InjectedFaultCode("ClientProperties::isVirtualClient", code)) return code != 0 ? code : -1;
  std::optional<platform::ClientRecord> client;
  const int found = Find(m_nClientId, client);
  if (found == 0) isVirtual = client->isVirtual;
  return found;
}

int KZPlatformInfo::getActiveClientList(std::list<std::string>& names) {
  names.clear();
  int code = 0;
  if (platform::InjectedFaultCode("KZPlatformInfo::getActiveClientList", code)) return code != 0 ? code : -1;
  std::vector<platform::ClientRecord> clients;
  if (!AllClients(clients)) return platform::kServiceFailed;
  for (const platform::ClientRecord& client : clients)
    if (client.active) names.push_back(client.name);
  return 0;
}

std::string KZPI_Focus::getFocusClientName(bool) {
  int code = 0;
  if (platform::InjectedFaultCode("KZPI_Focus::getFocusClientName", code)) return std::string();
  uint64_t localId = 0;
  if (!platform::AgentConfig::Current().LocalClientId(localId)) return std::string();
  std::optional<platform::ClientRecord> local;
  Find(localId, local);
  return local ? local->name : std::string();
}

namespace {

constexpr const char* kMachineInstallation = "Instance001";

std::mutex g_focusMutex;
std::string g_sFocus = kMachineInstallation;

}  // namespace

std::string KZPI_Focus::getFocus() {
  std::lock_guard<std::mutex> guard(g_focusMutex);
  return g_sFocus;
}

void KZPI_Focus::setFocus(const std::string& focus) {
  std::lock_guard<std::mutex> guard(g_focusMutex);
  g_sFocus = focus;
}

int KZPI_VornClient::setFocus(const std::string& focus) {
  if (focus.empty()) return -1;
  m_sFocus = focus;
  return 0;
}

std::string KZPI_VornClient::getVornServerHostName() const {
  int code = 0;
  if (platform::InjectedFaultCode("KZPI_VornClient::getVornServerHostName", code) || m_sFocus.empty())
    return std::string();
  std::optional<std::string> host;
  if (!platform::AgentConfig::Current().VornServeHost(host)) return std::string();
  return host.value_or(std::string());
}

std::optional<std::string> KZPI_VornClient::getJobResultsDirectory(const std::string& clientName) {
  int code = 0;
  if (platform::InjectedFaultCode("KZPI_VornClient::getJobResultsDirectory", code)) return std::nullopt;
  std::optional<platform::ClientRecord> client;
  Find(IdByName(clientName.c_str()), client);
  if (!client || client->jobResultsDir.empty()) return std::nullopt;
  return client->jobResultsDir;
}

std::optional<std::string> KZPI_Base::getTarvosDirectory() {
  int code = 0;
  if (platform::InjectedFaultCode("KZPI_Base::getTarvosDirectory", code)) return std::nullopt;
  std::string directory;
  if (!KZPlatformInfo::getString("Base", "dTARVOSHOME", directory) || directory.empty()) return std::nullopt;
  return directory;
}

std::optional<std::string> KZPI_Base::getHomeDirectory() {
  int code = 0;
  if (platform::InjectedFaultCode("KZPI_Base::getHomeDirectory", code)) return std::nullopt;
  std::string directory;
  if (KZPlatformInfo::getString("Base", "dAGENTHOME", directory) && !directory.empty()) return directory;
  std::optional<std::string> product = getTarvosDirectory();
  if (!product) return std::nullopt;
  return *product + "/Base";
}

std::optional<std::string> KZPI_Base::getTarvosTempDirectory() {
  int code = 0;
  if (platform::InjectedFaultCode("KZPI_Base::getTarvosTempDirectory", code)) return std::nullopt;
  std::optional<std::string> product = getTarvosDirectory();
  if (!product) return std::nullopt;
  const std::string temp = *product + "/Temp";
  if (!platform::MakeDirectories(temp)) return std::nullopt;
  return temp;
}
