#include "platform/services/subclient.h"

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "platform/config/agent_config.h"
#include "platform/config/kz_client.h"
#include "platform/dbagents/instance.h"
#include "platform/sim/fault_table.h"

namespace {

// 0 with the subclient's record, nothing for an unknown subclient; 1627
// when the configuration cannot be read.
int Find(uint64_t cellId, uint64_t appId, std::optional<platform::SubclientRecord>& record) {
  return platform::AgentConfig::Current().FindSubclient(cellId, appId, record) ? 0 : platform::kServiceFailed;
}

int Failed(int code) {
  return code != 0 ? code : -1;
}

// Reads one field of the subclient's record into the caller's value; -1 for
// an unknown subclient, 1627 when the configuration cannot be read.
template <class Value, class Read>
int ReadField(uint64_t cellId, uint64_t appId, Value& value, Read read) {
  std::optional<platform::SubclientRecord> record;
  if (const int failed = Find(cellId, appId, record)) return failed;
  if (!record) return -1;
  value = read(*record);
  return 0;
}

bool IsOracle(uint64_t appType) {
  return appType == 22 || appType == 80;
}

// A whole unsigned decimal number; false for anything else.
bool ReadId(const std::string& text, uint64_t& value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0';
}

}  // namespace

int Subclient::getProxyClientId(uint64_t& clientId, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("Subclient::getProxyClientId", code)) return Failed(code);
  return ReadField(m_nCellId, m_nAppId, clientId, [](const platform::SubclientRecord& r) { return r.proxyClientId; });
}

int Subclient::getUseSource(bool& useSource, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("Subclient::getUseSource", code)) return Failed(code);
  return ReadField(m_nCellId, m_nAppId, useSource, [](const platform::SubclientRecord& r) { return r.useSource; });
}

int Subclient::getUseBlockLevelBackup(unsigned long& useBlockLevel, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("Subclient::getUseBlockLevelBackup", code)) return Failed(code);
  return ReadField(m_nCellId, m_nAppId, useBlockLevel, [](const platform::SubclientRecord& r) {
    return (r.blockLevelFlags & platform::SubclientRecord::kBlockLevel) != 0 ? 1UL : 0UL;
  });
}

int Subclient::getEnableMetadataBackup(unsigned long& enabled, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("Subclient::getEnableMetadataBackup", code)) return Failed(code);
  return ReadField(m_nCellId, m_nAppId, enabled, [](const platform::SubclientRecord& r) {
    return (r.blockLevelFlags & platform::SubclientRecord::kBlockLevelMetadata) != 0 ? 1UL : 0UL;
  });
}

int Subclient::getUseBlockLevelSPOSBackup(unsigned long& useBlockLevelSPOS, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("Subclient::getUseBlockLevelSPOSBackup", code)) return Failed(code);
  return ReadField(m_nCellId, m_nAppId, useBlockLevelSPOS, [](const platform::SubclientRecord& r) {
    return (r.blockLevelFlags & platform::SubclientRecord::kBlockLevelSPOS) != 0 ? 1UL : 0UL;
  });
}

int Subclient::getSubclientName(std::string& name, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("Subclient::getSubclientName", code)) return Failed(code);
  return ReadField(m_nCellId, m_nAppId, name, [](const platform::SubclientRecord& r) { return r.name; });
}

int Subclient::getSnapBackup(bool& snapBackup, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("Subclient::getSnapBackup", code)) return Failed(code);
  return ReadField(m_nCellId, m_nAppId, snapBackup, [](const platform::SubclientRecord& r) { return r.snapBackup; });
}

int Subclient::getGUIDStr(std::string& guid) {
  int code = 0;
  if (platform::InjectedFaultCode("Subclient::getGUIDStr", code)) return Failed(code);
  return ReadField(m_nCellId, m_nAppId, guid, [](const platform::SubclientRecord& r) { return r.guid; });
}

int OracleBackpack::getBackupMode(int& mode, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("OracleBackpack::getBackupMode", code)) return Failed(code);
  return ReadField(m_nCellId, m_nAppId, mode, [](const platform::SubclientRecord& r) { return r.oracle.backupMode; });
}

int OracleBackpack::getSnapImageCopy(bool& snapImageCopy, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("OracleBackpack::getSnapImageCopy", code)) return Failed(code);
  return ReadField(m_nCellId, m_nAppId, snapImageCopy,
                   [](const platform::SubclientRecord& r) { return r.oracle.snapImageCopy; });
}

int OracleBackpack::getImageCopyDir(std::string& directory, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("OracleBackpack::getImageCopyDir", code)) return Failed(code);
  return ReadField(m_nCellId, m_nAppId, directory,
                   [](const platform::SubclientRecord& r) { return r.oracle.imageCopyDir; });
}

ApplicationId::ApplicationId(uint64_t cellId, uint64_t appId) : m_nCellId(cellId), m_nAppId(appId) {}

ApplicationId::ApplicationId(const std::string& text) {
  const std::string::size_type colon = text.find(':');
  m_bReadable = colon != std::string::npos && ReadId(text.substr(0, colon), m_nCellId) &&
                ReadId(text.substr(colon + 1), m_nAppId);
  if (!m_bReadable) m_nCellId = m_nAppId = 0;
}

ApplicationId::~ApplicationId() = default;

int ApplicationId::Record(std::optional<platform::SubclientRecord>& record) const {
  record.reset();
  if (!m_bReadable) return 0;
  return Find(m_nCellId, m_nAppId, record);
}

int ApplicationId::getApplicationId(void*) {
  int code = 0;
  if (platform::InjectedFaultCode("ApplicationId::getApplicationId", code)) return Failed(code);
  std::optional<platform::SubclientRecord> record;
  if (const int failed = Record(record)) return failed;
  return record ? 0 : -1;
}

int ApplicationId::getAppId(unsigned long& appId, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("ApplicationId::getAppId", code)) return Failed(code);
  if (!m_bReadable) return -1;
  appId = m_nAppId;
  return 0;
}

int ApplicationId::getAppType(unsigned long& appType, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("ApplicationId::getAppType", code)) return Failed(code);
  std::optional<platform::SubclientRecord> record;
  if (const int failed = Record(record)) return failed;
  appType = record ? record->appType : 0;
  return 0;
}

Instance* ApplicationId::getInstance(void*) {
  int code = 0;
  if (platform::InjectedFaultCode("ApplicationId::getInstance", code)) return nullptr;
  if (!m_pInstance) {
    std::optional<platform::SubclientRecord> record;
    if (Record(record) != 0 || !record) return nullptr;
    m_pInstance.reset(new Instance(record->instanceId));
  }
  return m_pInstance.get();
}

BackupSet* ApplicationId::getBackupSet(void*) {
  int code = 0;
  if (platform::InjectedFaultCode("ApplicationId::getBackupSet", code)) return nullptr;
  if (!m_pBackupSet) {
    std::optional<platform::SubclientRecord> record;
    if (Record(record) != 0 || !record) return nullptr;
    m_pBackupSet = std::make_unique<BackupSet>(record->backupSetId);
  }
  return m_pBackupSet.get();
}

Subclient* ApplicationId::getSubclient(void*) {
  int code = 0;
  if (platform::InjectedFaultCode("ApplicationId::getSubclient", code)) return Unknown(code, "getSubclient");
  if (!m_pSubclient) {
    std::optional<platform::SubclientRecord> record;
    if (const int failed = Record(record)) return Unknown(failed, "getSubclient");
    if (!record) return Unknown(0, "getSubclient");
    if (IsOracle(record->appType) && !record->plainSubclient)
      m_pSubclient.reset(new OracleBackpack(m_nCellId, m_nAppId));
    else
      m_pSubclient.reset(new Subclient(m_nCellId, m_nAppId));
  }
  return m_pSubclient.get();
}

ApplicationType* ApplicationId::getApplicationType(void*) {
  int code = 0;
  if (platform::InjectedFaultCode("ApplicationId::getApplicationType", code))
    return Unknown(code, "getApplicationType");
  std::optional<platform::SubclientRecord> record;
  if (const int failed = Record(record)) return Unknown(failed, "getApplicationType");
  if (!record) return Unknown(0, "getApplicationType");
  m_pApplicationType.reset(new ApplicationType(record->appType));
  return m_pApplicationType.get();
}

std::nullptr_t ApplicationId::Unknown(int code, const char* call) {
  m_nLastError = Failed(code);
  m_sLastError = code != 0 ? std::string(call) + " failed with " + std::to_string(code)
                           : "application " + platform::ApplicationIdText(m_nCellId, m_nAppId) + " is not configured";
  return nullptr;
}

KZClient* ApplicationId::getClient(void*) {
  int code = 0;
  if (platform::InjectedFaultCode("ApplicationId::getClient", code)) return nullptr;
  if (!m_pClient) {
    std::optional<platform::SubclientRecord> record;
    std::optional<platform::ClientRecord> client;
    if (Record(record) != 0 || !record || !platform::AgentConfig::Current().FindClient(record->clientId, client) ||
        !client)
      return nullptr;
    m_pClient.reset(new KZClient(record->cellId, record->clientId));
  }
  return m_pClient.get();
}

namespace platform {

std::string ApplicationIdText(uint64_t cellId, uint64_t appId) {
  return std::to_string(cellId) + ":" + std::to_string(appId);
}

}  // namespace platform
