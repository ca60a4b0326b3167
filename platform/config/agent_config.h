#pragma once
// The agent's configuration service, simulated: clients and subclients in the
// state database. A subclient's job-results directory is its client's
// job-results directory + "/" + cell id + "/" + application id.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/backend.h"

namespace platform {

struct ClientRecord {
  uint64_t id = 0;
  std::string name;
  std::string hostName;       // mangled network host name as the configuration hands it out
  std::string jobResultsDir;  // the machine's job-results directory
  std::string installDir;
};

struct SubclientRecord {
  uint64_t cellId = 0;
  uint64_t appId = 0;
  uint64_t clientId = 0;
  uint64_t proxyClientId = 0;  // 0: no proxy
  bool useSource = false;
  uint64_t blockLevelFlags = 0;
};

class AgentConfigBackend {
 public:
  virtual ~AgentConfigBackend() = default;
  virtual std::optional<ClientRecord> FindClient(uint64_t clientId) = 0;
  virtual std::optional<SubclientRecord> FindSubclient(uint64_t cellId, uint64_t appId) = 0;
  // The client this machine runs as (0 when not configured).
  virtual uint64_t LocalClientId() = 0;
  virtual bool PutClient(const ClientRecord& client) = 0;
  virtual bool PutSubclient(const SubclientRecord& subclient) = 0;
  virtual bool SetLocalClientId(uint64_t clientId) = 0;
  virtual std::vector<SubclientRecord> Subclients() = 0;
  virtual std::vector<uint64_t> ClientIds() = 0;

  static AgentConfigBackend& Default();
};

using AgentConfig = Backend<AgentConfigBackend>;

// The subclient's job-results directory, or nothing when the subclient or its
// client is unknown.
std::optional<std::string> SubclientJobResultsDir(uint64_t cellId, uint64_t appId);

}  // namespace platform

// The agent's subclient-files record: two numbers and eleven texts, of which
// the library reads only the first (the subclient's job-results directory).
struct subclientFiles {
  subclientFiles() : m_nFirst(0), m_nSecond(0) {
    m_szJobResultsDir[0] = '\0';
    for (auto& text : m_szFiles) text[0] = '\0';
  }
  uint64_t m_nFirst;
  uint64_t m_nSecond;
  char m_szJobResultsDir[1025];
  char m_szFiles[10][1024];
};

// Resolves the subclient's files for (cell, application, level); -1 when the
// subclient is unknown.
int GetSubclientDirAndFiles(uint32_t cellId, uint32_t appId, subclientFiles* files, int backupLevel,
                            const char* fileName);
