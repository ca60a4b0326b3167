#pragma once
// The agent's application and subclient objects over the simulated
// configuration (AgentConfigBackend). Every query answers from the
// configuration at the time of the call and returns 0 on success; 1627, or
// null, when the configuration cannot be read.
//
// Faults: "<Class>::<call>" of every call below (the call fails with the
// fault's code, or answers null).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/config/agent_config.h"

class Instance;
class KZClient;

// The backup set an application belongs to.
class BackupSet {
 public:
  explicit BackupSet(uint64_t backupSetId) : m_nBackupSetId(backupSetId) {}
  uint64_t getBackupSetId() const { return m_nBackupSetId; }

 private:
  uint64_t m_nBackupSetId;
};

class Subclient {
 public:
  Subclient(uint64_t cellId, uint64_t appId) : m_nCellId(cellId), m_nAppId(appId) {}
  virtual ~Subclient() = default;

  // The client that backs the subclient up in place of its own (0: none).
  virtual int getProxyClientId(uint64_t& clientId, void* reserved);
  // Whether files that cannot reach the proxy may stay on the source client.
  virtual int getUseSource(bool& useSource, void* reserved);
  // The block-level flags: backed up block by block; the same through a
  // snapshot of the source ("SPOS"). Each is 1 or 0.
  virtual int getUseBlockLevelBackup(unsigned long& useBlockLevel, void* reserved);
  virtual int getUseBlockLevelSPOSBackup(unsigned long& useBlockLevelSPOS, void* reserved);
  // Whether the subclient's metadata is backed up beside its blocks (1 or 0).
  virtual int getEnableMetadataBackup(unsigned long& enabled, void* reserved);
  virtual int getSubclientName(std::string& name, void* reserved);
  // Whether the subclient's backups are taken from snapshots.
  virtual int getSnapBackup(bool& snapBackup, void* reserved);
  // The subclient's GUID text.
  virtual int getGUIDStr(std::string& guid);

 protected:
  uint64_t m_nCellId;
  uint64_t m_nAppId;
};

// The subclient of an Oracle instance (application types 22 and 80).
class OracleBackpack : public Subclient {
 public:
  using Subclient::Subclient;

  virtual int getBackupMode(int& mode, void* reserved);
  // Whether the backup copies the database's image to a directory of its own.
  virtual int getSnapImageCopy(bool& snapImageCopy, void* reserved);
  virtual int getImageCopyDir(std::string& directory, void* reserved);
};

// An application's type as the configuration holds it.
class ApplicationType {
 public:
  explicit ApplicationType(uint64_t type) : m_nType(type) {}
  unsigned long getType() const { return static_cast<unsigned long>(m_nType); }

 private:
  uint64_t m_nType;
};

class ApplicationId {
 public:
  ApplicationId(uint64_t cellId, uint64_t appId);
  // From a text of ClientApplicationList::getApplications; any other text
  // makes an application that getAppId refuses and that has no subclient.
  explicit ApplicationId(const std::string& text);
  ~ApplicationId();
  ApplicationId(const ApplicationId&) = delete;
  ApplicationId& operator=(const ApplicationId&) = delete;

  // 0 when the configuration knows the application.
  int getApplicationId(void* reserved);
  int getAppId(unsigned long& appId, void* reserved);
  // The application's type; 0 (and success) when the configuration does not
  // know the application.
  int getAppType(unsigned long& appType, void* reserved);
  // The application's instance (its id is 0 for an application of no
  // instance), owned by this object; null when the application is unknown.
  Instance* getInstance(void* reserved);
  // The application's backup set, owned by this object; null when the
  // application is unknown.
  BackupSet* getBackupSet(void* reserved);
  // The subclient, owned by this object; an OracleBackpack for an Oracle
  // subclient unless the configuration registers it as a plain one; null
  // when the configuration does not know it.
  Subclient* getSubclient(void* reserved);
  // The client the subclient belongs to, owned by this object; null when the
  // configuration knows the subclient or its client not.
  KZClient* getClient(void* reserved);
  // The application's type, owned by this object; null when the
  // configuration does not know the application.
  ApplicationType* getApplicationType(void* reserved);
  // Why the last getSubclient or getApplicationType answered null (0 and
  // an empty text before any did).
  int getLastError() const { return m_nLastError; }
  std::string getErrorString() const { return m_sLastError; }

  // The platform's own accessors (services that take an ApplicationId).
  bool IsReadable() const { return m_bReadable; }
  uint64_t CellId() const { return m_nCellId; }
  uint64_t AppId() const { return m_nAppId; }

 private:
  // 0 with the configuration's record of the application, nothing when
  // unknown; 1627 when the configuration cannot be read.
  int Record(std::optional<platform::SubclientRecord>& record) const;
  // Records why a call answers null (code 0: the application is unknown).
  std::nullptr_t Unknown(int code, const char* call);

  uint64_t m_nCellId = 0;
  uint64_t m_nAppId = 0;
  bool m_bReadable = true;
  std::unique_ptr<Subclient> m_pSubclient;
  std::unique_ptr<Instance> m_pInstance;
  std::unique_ptr<BackupSet> m_pBackupSet;
  std::unique_ptr<KZClient> m_pClient;
  std::unique_ptr<ApplicationType> m_pApplicationType;
  int m_nLastError = 0;
  std::string m_sLastError;
};

namespace platform {

// The text that ApplicationId(text) reads back: "<cell id>:<application id>".
std::string ApplicationIdText(uint64_t cellId, uint64_t appId);

}  // namespace platform
