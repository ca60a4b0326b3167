#include "platform/harness/services_harness.h"

#include <optional>

#include "platform/config/agent_config.h"
#include "platform/sim/fs_util.h"
#include "platform/sim/state_db.h"

namespace blbsim {

bool SetProxy(uint64_t cellId, uint64_t appId, uint64_t proxyClientId, bool useSource) {
  platform::AgentConfigBackend& config = platform::AgentConfig::Current();
  std::optional<platform::SubclientRecord> subclient = config.FindSubclient(cellId, appId);
  if (!subclient) return false;
  subclient->proxyClientId = proxyClientId;
  subclient->useSource = useSource;
  return config.PutSubclient(*subclient);
}

bool AddArchiveFile(const platform::ArchiveFileRecord& record) {
  return platform::ArchiveManager::Current().Put(record);
}

std::vector<platform::ArchiveFileRecord> ArchiveFiles() {
  return platform::ArchiveManager::Current().All();
}

bool AddIndexFile(const platform::IndexFileRecord& record, const std::string& contents) {
  return platform::IndexStore::Current().Put(record, contents);
}

bool AddIndexFileFrom(const platform::IndexFileRecord& record, const std::string& sourcePath) {
  std::string contents;
  return platform::ReadWholeFile(sourcePath, contents) && AddIndexFile(record, contents);
}

std::vector<platform::IndexFileRecord> IndexFiles() {
  return platform::IndexStore::Current().All();
}

std::vector<platform::TransferRecord> Transfers() {
  return platform::Transfers();
}

std::string HostFolder(const std::string& host) {
  return platform::HostRoot(host);
}

}  // namespace blbsim
