#include "platform/services/file_transfer.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/services/host_name.h"
#include "platform/settings/settings.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"
#include "platform/sim/state_db.h"
#include "platform/text/fx_string.h"

namespace platform {
namespace {

// The text of a fixed array, or false when it fills the array unterminated.
bool TextOf(const char* array, size_t size, std::string& text) {
  const void* end = std::memchr(array, '\0', size);
  if (end == nullptr) return false;
  text.assign(array, static_cast<const char*>(end));
  return true;
}

// A destination below the host root: no ".." component may climb out of it.
bool IsContained(const std::string& relative) {
  for (const FXString& part : FXString::Split(relative, '/'))
    if (part == "..") return false;
  return true;
}

class SimulatedFileTransfer : public FileTransferBackend {
 public:
  CQiError Connect(const std::string& host) override {
    if (!IsUsableHostName(host)) return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Invalid host name [%s]", host.c_str());
    return CQiError();
  }

  CQiError Copy(const std::string& host, const _KZS_FILE_COPY_INFO& file) override {
    std::string folder, name, destDir;
    if (!TextOf(file.strFilePath, sizeof file.strFilePath, folder) ||
        !TextOf(file.request.cFileName, sizeof file.request.cFileName, name) ||
        !TextOf(file.request.destDir, sizeof file.request.destDir, destDir))
      return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Transfer record text not terminated");
    if (name.empty() || name.find('/') != std::string::npos || destDir.empty() || !IsContained(destDir))
      return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Invalid transfer of [%s] to [%s]", name.c_str(), destDir.c_str());
    if (file.request.bAppend != 0)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, 95, "Appending transfers are not supported");
    const std::string source = folder + "/" + name;
    std::string contents;
    if (!ReadWholeFile(source, contents))
      return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot read [%s]", source.c_str());
    std::string relative = destDir;
    while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
    const std::string targetDir = FXPath::Append(HostRoot(host), relative);
    if (file.request.bCreateDestDir != 0) MakeDirectoriesDurably(targetDir);
    const std::string target = targetDir + "/" + name;
    if (file.request.bOverwrite == 0 && ::access(target.c_str(), F_OK) == 0)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, 17, "[%s] exists on host [%s]", target.c_str(), host.c_str());
    if (!WriteFileAtomically(target, contents))
      return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot write [%s] on host [%s]", target.c_str(), host.c_str());
    SqlStatement record(StateDb::Current(),
                        "INSERT INTO transfers (host, source, destination, bytes, time) VALUES (?, ?, ?, ?, ?);");
    record.Bind(1, host)
        .Bind(2, source)
        .Bind(3, FXPath::Append(destDir, name))
        .BindUnsigned(4, contents.size())
        .Bind(5, static_cast<long long>(std::time(nullptr)));
    record.Run();
    return CQiError();
  }
};

}  // namespace

FileTransferBackend& FileTransferBackend::Default() {
  static SimulatedFileTransfer* backend = new SimulatedFileTransfer();
  return *backend;
}

std::string HostRoot(const std::string& host) {
  return Settings::StatePath("hosts/" + host);
}

StateDbResult Transfers(std::vector<TransferRecord>& transfers) {
  SqlStatement query(StateDb::Current(),
                     "SELECT id, host, source, destination, bytes, time FROM transfers ORDER BY id;");
  return ReadRows(query, transfers, [](const SqlStatement& row) {
    TransferRecord transfer;
    transfer.id = row.Int(0);
    transfer.host = row.Text(1);
    transfer.source = row.Text(2);
    transfer.destination = row.Text(3);
    transfer.bytes = row.Int(4);
    transfer.time = row.Int(5);
    return transfer;
  });
}

}  // namespace platform

CQiError KzCopyFile::GetConnection(const std::string& mangledHost, void*, bool) {
  m_sHost.clear();
  CQiError fault = platform::InjectedFault("KzCopyFile::GetConnection", FXCODELOC);
  if (fault.IsError()) return fault;
  std::string client, host;
  int port = 0, flags = 0;
  if (DemangleHostName(mangledHost, client, host, port, flags) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Cannot resolve host [%s]", mangledHost.c_str());
  CQiError connected = platform::FileTransfer::Current().Connect(host);
  if (connected.IsError()) return connected.Push(FXCODELOC);
  m_sHost = host;
  return CQiError();
}

CQiError KzCopyFile::CopyFiles(std::vector<_KZS_FILE_COPY_INFO>& files, bool, void*, const std::string&,
                               const std::string&) {
  CQiError fault = platform::InjectedFault("KzCopyFile::CopyFiles", FXCODELOC);
  if (fault.IsError()) return fault;
  if (m_sHost.empty()) return FXErrorUtil::ErrorErrNo(FXCODELOC, 107, "Not connected to a host");
  for (const _KZS_FILE_COPY_INFO& file : files) {
    CQiError copied = platform::FileTransfer::Current().Copy(m_sHost, file);
    if (copied.IsError()) return copied.Push(FXCODELOC);
  }
  return CQiError();
}
