#pragma once
// Seeding and inspection of the simulated agent services that move files
// between machines: proxies, the archive manager's archive files, the backup
// index's stored files and the files that reached other hosts.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/services/archive_manager.h"
#include "platform/services/file_transfer.h"
#include "platform/services/index_files.h"

namespace blbsim {

// Gives an existing subclient a proxy client (0: none) and its use-source
// answer; false when the subclient is unknown.
bool SetProxy(uint64_t cellId, uint64_t appId, uint64_t proxyClientId, bool useSource);

// The fields in the order the `afile add` verb takes them; why not, when it
// could not.
platform::StateDbResult AddArchiveFile(uint64_t archFileId, uint64_t jobId, uint64_t appId, uint64_t cellId,
                                       int archFileType, uint64_t cycleNumber, uint64_t createTime,
                                       const std::string& storageHostName);
// The archive files registered, by id; the form without a result throws for
// a read that failed (harness_reads.h).
platform::StateDbResult ArchiveFiles(std::vector<platform::ArchiveFileRecord>& files);
std::vector<platform::ArchiveFileRecord> ArchiveFiles();
// The snapshot-job listings asked of the archive manager, oldest first.
std::vector<platform::ArchiveRequestRecord> ArchiveRequests();

// Stores a job's file in the index of a host as stored at storedTime: from
// contents, or from a file on this machine.
bool AddIndexFile(const std::string& host, uint64_t cellId, uint64_t appId, uint64_t jobId, const std::string& name,
                  uint64_t storedTime, const std::string& contents);
bool AddIndexFileFrom(const std::string& host, uint64_t cellId, uint64_t appId, uint64_t jobId, const std::string& name,
                      uint64_t storedTime, const std::string& sourcePath);
std::vector<platform::IndexFileRecord> IndexFiles();

std::vector<platform::TransferRecord> Transfers();
// Where the files sent to a host (by its network host name) are kept.
std::string HostFolder(const std::string& host);

}  // namespace blbsim
