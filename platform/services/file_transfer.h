#pragma once
// The agent's file-transfer client, simulated: a "connection" names a host,
// and a copy puts the file into that host's folder of the state directory,
//
//   <state>/hosts/<network host>/<destDir>/<cFileName>
//
// (a leading "/" of destDir is dropped), so a test sees exactly what reached
// the host. Every file copied is recorded in the `transfers` table.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/backend.h"
#include "platform/error/qi_error.h"
#include "platform/sim/state_db_failure.h"

// One transfer request. Every text is a zero-terminated text of fewer than
// 1024 characters; a record whose text fills its array is refused.
struct kzsFilexferRequest {
  char cFileName[1024] = {};
  char destDir[1024] = {};
  uint64_t nOffset = 0;
  uint32_t bCreateDestDir = 0;  // create missing folders of destDir
  uint32_t bAppend = 0;         // append to an existing file (not supported: refused)
  uint32_t bOverwrite = 0;      // replace an existing file; otherwise an existing file fails the copy
  char szSourceHost[1024] = {};
  char reserved[20] = {};
};

// One file to copy: strFilePath is the folder on this machine that holds
// request.cFileName.
struct _KZS_FILE_COPY_INFO {
  char strFilePath[1024] = {};
  int32_t nRequestType = 0;
  kzsFilexferRequest request;
};

class KzCopyFile {
 public:
  KzCopyFile() = default;
  // Connects to the host named by its mangled network host name. Failable as
  // "KzCopyFile::GetConnection".
  CQiError GetConnection(const std::string& mangledHost, void* reserved, bool secure);
  // Copies each record's file to the connected host, in order; the first
  // failure ends the copy (files copied before it stay). Fails with errno 107
  // without a connection. Failable as "KzCopyFile::CopyFiles".
  CQiError CopyFiles(std::vector<_KZS_FILE_COPY_INFO>& files, bool compress, void* reserved,
                     const std::string& userName, const std::string& password);

 private:
  std::string m_sHost;  // the connected network host; empty when not connected
};

namespace platform {

struct TransferRecord {
  long long id = 0;
  std::string host;
  std::string source;       // the file on this machine
  std::string destination;  // the path on the host: destDir "/" cFileName
  long long bytes = 0;
  long long time = 0;  // Unix seconds
};

class FileTransferBackend {
 public:
  virtual ~FileTransferBackend() = default;
  virtual CQiError Connect(const std::string& host) = 0;
  virtual CQiError Copy(const std::string& host, const _KZS_FILE_COPY_INFO& file) = 0;
  static FileTransferBackend& Default();
};

using FileTransfer = Backend<FileTransferBackend>;

// The folder that stands for a host's file system.
std::string HostRoot(const std::string& host);
// Every transfer, oldest first; done, or why they could not be read.
StateDbResult Transfers(std::vector<TransferRecord>& transfers);

}  // namespace platform
