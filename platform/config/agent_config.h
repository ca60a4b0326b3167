#pragma once
// The agent's configuration service, simulated: clients and subclients in the
// state database. A subclient's job-results directory is its client's
// job-results directory + "/" + cell id + "/" + application id.
//
// A subclient belongs to a backup set (file systems) or to an instance
// (databases) of one application type of its client; the application list
// (application_list.h) walks them.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/backend.h"
#include "platform/sim/state_db_failure.h"

namespace platform {

struct ClientRecord {
  uint64_t id = 0;
  std::string name;
  std::string hostName;       // mangled network host name as the configuration hands it out
  std::string jobResultsDir;  // the machine's job-results directory
  std::string installDir;
  bool active = false;     // one of the clients this machine runs
  bool isVirtual = false;  // a cluster's virtual client
  int osId = 49;           // the client's operating system (49: a Linux one)
};

// An Oracle subclient's settings.
struct OracleSubclientSettings {
  int backupMode = 0;
  bool snapImageCopy = false;
  std::string imageCopyDir;
};

struct SubclientRecord {
  uint64_t cellId = 0;
  uint64_t appId = 0;
  uint64_t clientId = 0;
  uint64_t proxyClientId = 0;  // 0: no proxy
  bool useSource = false;
  uint64_t blockLevelFlags = 0;  // kBlockLevel | kBlockLevelSPOS | kBlockLevelMetadata
  std::string name;
  uint64_t appType = 0;
  uint64_t backupSetId = 0;
  uint64_t instanceId = 0;
  bool snapBackup = false;
  OracleSubclientSettings oracle;
  // An Oracle subclient is handed out as an OracleBackpack unless this is set.
  bool plainSubclient = false;
  // Whether the subclient's backups are indexed with indexing V2.
  bool indexingV2 = true;
  // The storage-policy copy and the archive group its backups go to.
  uint32_t copyId = 1;
  uint32_t groupId = 1;
  // The subclient's GUID as the configuration hands it out.
  std::string guid;

  static constexpr uint64_t kBlockLevel = 1;
  static constexpr uint64_t kBlockLevelSPOS = 2;
  // The file systems' metadata is backed up beside their blocks.
  static constexpr uint64_t kBlockLevelMetadata = 4;
};

// The readers return done (nothing found included) or why the read
// failed: a failed read is never taken for a record that is not there.
class AgentConfigBackend {
 public:
  virtual ~AgentConfigBackend() = default;
  virtual StateDbResult FindClient(uint64_t clientId, std::optional<ClientRecord>& client) = 0;
  virtual StateDbResult FindSubclient(uint64_t cellId, uint64_t appId, std::optional<SubclientRecord>& subclient) = 0;
  // The client this machine runs as (0 when not configured).
  virtual StateDbResult LocalClientId(uint64_t& clientId) = 0;
  virtual bool PutClient(const ClientRecord& client) = 0;
  virtual StateDbResult PutSubclient(const SubclientRecord& subclient) = 0;
  // Adds a new subclient: one another subclient's cell and application id
  // hold is refused (EEXIST), never replaced.
  virtual StateDbResult AddSubclient(const SubclientRecord& subclient) = 0;
  virtual bool SetLocalClientId(uint64_t clientId) = 0;
  virtual StateDbResult Subclients(std::vector<SubclientRecord>& subclients) = 0;
  virtual StateDbResult ClientIds(std::vector<uint64_t>& ids) = 0;
  // A subclient's content paths, in order; replacing sets them all.
  virtual StateDbResult SubclientContents(uint64_t cellId, uint64_t appId, std::vector<std::string>& paths) = 0;
  virtual StateDbResult PutSubclientContents(uint64_t cellId, uint64_t appId,
                                             const std::vector<std::string>& paths) = 0;
  // The host name of the VornServe this machine's agent reports to; nothing
  // when none is configured. An empty name clears it.
  virtual StateDbResult VornServeHost(std::optional<std::string>& host) = 0;
  virtual bool SetVornServeHost(const std::string& host) = 0;

  static AgentConfigBackend& Default();
};

using AgentConfig = Backend<AgentConfigBackend>;

// The subclient's job-results directory, or nothing when the subclient or its
// client is unknown; why not, when their records could not be read.
StateDbResult SubclientJobResultsDir(uint64_t cellId, uint64_t appId, std::optional<std::string>& directory);

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

// The subclient's directory (its job-results directory) into a buffer of
// kSubclientDirSize bytes: 0, or non-zero (nothing written) when the
// subclient is unknown or its directory does not fit. Fault: "GetSubclientDir"
// (returns the fault's code).
constexpr size_t kSubclientDirSize = 1024;
int GetSubclientDir(uint32_t cellId, uint32_t appId, char* directory);

// Resolves the subclient's files for (cell, application, level); -1 when the
// subclient is unknown.
int GetSubclientDirAndFiles(uint32_t cellId, uint32_t appId, subclientFiles* files, int backupLevel,
                            const char* fileName);
