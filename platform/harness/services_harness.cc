#include "platform/harness/services_harness.h"

#include <optional>

#include "platform/config/agent_config.h"
#include "platform/harness/harness_reads.h"
#include "platform/sim/fs_util.h"

namespace blbsim {

bool SetProxy(uint64_t cellId, uint64_t appId, uint64_t proxyClientId, bool useSource) {
  platform::AgentConfigBackend& config = platform::AgentConfig::Current();
  std::optional<platform::SubclientRecord> subclient;
  if (!config.FindSubclient(cellId, appId, subclient) || !subclient) return false;
  subclient->proxyClientId = proxyClientId;
  subclient->useSource = useSource;
  return config.PutSubclient(*subclient).ok();
}

platform::StateDbResult AddArchiveFile(uint64_t archFileId, uint64_t jobId, uint64_t appId, uint64_t cellId,
                                       int archFileType, uint64_t cycleNumber, uint64_t createTime,
                                       const std::string& storageHostName) {
  platform::ArchiveFileRecord record;
  record.archFileId = archFileId;
  record.jobId = jobId;
  record.appId = appId;
  record.cellId = cellId;
  record.archFileType = archFileType;
  record.cycleNumber = cycleNumber;
  record.createTime = createTime;
  record.storageHostName = storageHostName;
  return platform::ArchiveManager::Current().Put(record);
}

platform::StateDbResult ArchiveFiles(std::vector<platform::ArchiveFileRecord>& files) {
  return platform::ArchiveManager::Current().All(files);
}

std::vector<platform::ArchiveFileRecord> ArchiveFiles() {
  return ReadOrThrow<std::vector<platform::ArchiveFileRecord>>(
      [](std::vector<platform::ArchiveFileRecord>& files) { return ArchiveFiles(files); });
}

std::vector<platform::ArchiveRequestRecord> ArchiveRequests() {
  return ReadOrThrow<std::vector<platform::ArchiveRequestRecord>>(
      [](std::vector<platform::ArchiveRequestRecord>& requests) {
        return platform::ArchiveManager::Current().Requests(requests);
      });
}

bool AddIndexFile(const std::string& host, uint64_t cellId, uint64_t appId, uint64_t jobId, const std::string& name,
                  uint64_t storedTime, const std::string& contents) {
  platform::IndexFileRecord record;
  record.host = host;
  record.cellId = cellId;
  record.appId = appId;
  record.jobId = jobId;
  record.name = name;
  record.storedTime = storedTime;
  return platform::IndexStore::Current().Put(record, contents);
}

bool AddIndexFileFrom(const std::string& host, uint64_t cellId, uint64_t appId, uint64_t jobId, const std::string& name,
                      uint64_t storedTime, const std::string& sourcePath) {
  std::string contents;
  return platform::ReadWholeFile(sourcePath, contents) &&
         AddIndexFile(host, cellId, appId, jobId, name, storedTime, contents);
}

std::vector<platform::IndexFileRecord> IndexFiles() {
  return ReadOrThrow<std::vector<platform::IndexFileRecord>>(
      [](std::vector<platform::IndexFileRecord>& files) { return platform::IndexStore::Current().All(files); });
}

std::vector<platform::TransferRecord> Transfers() {
  return ReadOrThrow<std::vector<platform::TransferRecord>>(
      [](std::vector<platform::TransferRecord>& transfers) { return platform::Transfers(transfers); });
}

std::string HostFolder(const std::string& host) {
  return platform::HostRoot(host);
}

}  // namespace blbsim
