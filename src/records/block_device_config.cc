#include "records/block_device_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"
#include "records/file_replacement.h"

namespace {

constexpr const char* kHeader =
    "# IsSupported|SourceVolume|SourceDevice|FSType|MountOptions|ExtentSize|TotalBlocks"
    "|FSBlockSize|BitMapSize|LogSectorSz|PhySectorSz|IOMinSz|IOOptimalSz|Version\n";

// The errno of a failed stream operation, never 0.
int StreamErrno() {
  return errno != 0 ? errno : -1;
}

// The errno of a read that broke off, never 0: an unknown cause counts as an
// input/output error.
int ReadErrno() {
  return errno != 0 ? errno : EIO;
}

const char* ErrnoText(int code) {
  return code > 0 ? std::strerror(code) : "unknown error";
}

// Copies the file's content to the stream; 0, or an errno. A missing file
// has none.
int CopyExisting(const std::string& path, std::fstream& into) {
  errno = 0;
  std::ifstream existing(path, std::ios::binary);
  if (!existing.is_open()) return errno == ENOENT ? 0 : StreamErrno();
  char buffer[65536];
  while (existing.read(buffer, sizeof buffer) || existing.gcount() > 0) {
    into.write(buffer, existing.gcount());
    if (into.fail()) return StreamErrno();
  }
  return existing.bad() ? ReadErrno() : 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Main file

BlockDeviceConfigReaderWriter::~BlockDeviceConfigReaderWriter() {
  BlockDeviceConfigReaderWriter::Close();
}

std::string BlockDeviceConfigReaderWriter::HeaderLines(bool metadataEnabled) {
  return std::string(kHeader) + (metadataEnabled ? kMetadataEnabled : kMetadataNotEnabled) + "\n";
}

int BlockDeviceConfigReaderWriter::StartWriting(std::fstream& stream, const std::string& path, bool append,
                                                std::string& temporary) {
  // The new content replaces the path by a rename: a device or a folder of
  // that name must not be replaced by a file.
  struct stat info;
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return EINVAL;
  temporary = records::TemporaryNameFor(path);
  errno = 0;
  stream.open(temporary, std::ios::out | std::ios::trunc);
  int failed = stream.good() ? 0 : StreamErrno();
  if (failed == 0 && append) failed = CopyExisting(path, stream);
  if (failed != 0) {
    stream.close();
    stream.clear();
    unlink_utf(temporary.c_str());
    temporary.clear();
  }
  return failed;
}

CQiError BlockDeviceConfigReaderWriter::InitWrite(const std::string& path, bool metadataEnabled, bool append) {
  EvDebug log;
  if (path.empty()) return FXErrorUtil::ErrorErrNo(FXCODELOC, 2, "Empty config file name passed");
  Discard();
  m_sFilePath = path;
  const int failed = StartWriting(m_oFile, path, append, m_sTemporaryPath);
  if (append)
    log.DebugLvl(__FUNCTION__, 3, "Device config file [%s] opened for append", path.c_str());
  else
    log.DebugLvl(__FUNCTION__, 3, "Device config file [%s] opened for write", path.c_str());
  if (failed != 0) return FXErrorUtil::ErrorErrNo(FXCODELOC, failed, "Failed to open '%s' to write", path.c_str());
  m_oFile << HeaderLines(metadataEnabled);
  return CQiError();
}

CQiError BlockDeviceConfigReaderWriter::InitRead(const std::string& path) {
  if (path.empty()) return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Empty config file name passed");
  Discard();
  m_sFilePath = path;
  errno = 0;
  m_oFile.open(path, std::ios::in);
  if (!m_oFile.good()) {
    const int code = StreamErrno();
    m_oFile.close();
    m_oFile.clear();
    return FXErrorUtil::ErrorErrNo(FXCODELOC, code, "Failed to open '%s' to read", path.c_str());
  }
  CQiError result = ReadMetaDataCollectionOption();
  if (result.IsError()) return result.Push(FXCODELOC);
  return CQiError();
}

CQiError BlockDeviceConfigReaderWriter::ReadMetaDataCollectionOption() {
  EvDebug log;
  if (!m_oFile.good()) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Could not read %s", m_sFilePath.c_str());
  std::string raw;
  errno = 0;
  while (std::getline(m_oFile, raw)) {
    FXString line(raw);
    line.Trim(" \r\t\n");
    if (line.empty()) continue;
    if (line == kMetadataEnabled) {
      m_bMetadataEnabled = true;
      break;
    }
    if (line == kMetadataNotEnabled) {
      m_bMetadataEnabled = false;
      break;
    }
  }
  // A read that broke off before the marker would leave the flag unread.
  if (m_oFile.bad()) return FXErrorUtil::ErrorErrNo(FXCODELOC, ReadErrno(), "Could not read %s", m_sFilePath.c_str());
  m_oFile.clear();
  m_oFile.seekg(0, std::ios::beg);
  log.DebugLvl(__FUNCTION__, 3, "IsMetaDataEnabled=%d", m_bMetadataEnabled ? 1 : 0);
  return CQiError();
}

int BlockDeviceConfigReaderWriter::ReadRecord(std::fstream& stream, BackupDeviceInfo& device, bool& lineRead,
                                              std::string* parsed) {
  device = BackupDeviceInfo();
  lineRead = false;
  std::string line;
  errno = 0;
  while (std::getline(stream, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line.back() == '\r') line.pop_back();
    if (!line.empty() && line.back() == '\t') line.pop_back();
    device = BackupDeviceInfo(line);
    if (parsed != nullptr) *parsed = line;
    lineRead = true;
    return 0;
  }
  // Only the end of the file ends the records; a read that broke off would
  // pass for a shorter device list.
  return stream.bad() ? ReadErrno() : 0;
}

CQiError BlockDeviceConfigReaderWriter::ReadMainRecord(BackupDeviceInfo& device, bool* lineRead, std::string* line) {
  if (lineRead != nullptr) *lineRead = false;
  if (m_oFile.eof()) return CQiError();
  int failed = 0;
  if (!m_oFile.is_open() || m_oFile.fail()) {
    failed = m_oFile.is_open() ? StreamErrno() : EBADF;
  } else {
    bool read = false;
    failed = ReadRecord(m_oFile, device, read, line);
    if (lineRead != nullptr) *lineRead = read;
  }
  if (failed != 0) return FXErrorUtil::ErrorErrNo(FXCODELOC, failed, "read i/o error for [%s]", m_sFilePath.c_str());
  return CQiError();
}

CQiError BlockDeviceConfigReaderWriter::CheckLine(const FXCodeLocation& location, const BackupDeviceInfo& device,
                                                  const std::string& path) {
  const char* field = device.FieldUnfitForLine();
  if (field == nullptr) return CQiError();
  return FXErrorUtil::ErrorErrNo(location, 22, "Device record not written to %s: %s holds '|', '\\r' or '\\n' [%s]",
                                 path.c_str(), field, device.Serialize().c_str());
}

CQiError BlockDeviceConfigReaderWriter::WriteNextBackupDevice(const BackupDeviceInfo& device) {
  CQiError refused = CheckLine(FXCODELOC, device, m_sFilePath);
  if (refused.IsError()) return refused;
  const std::string line = device.Serialize();
  errno = 0;
  if (!m_oFile.is_open() || m_sTemporaryPath.empty() || !m_oFile.good()) {
    const int code = m_oFile.is_open() && !m_sTemporaryPath.empty() ? StreamErrno() : EBADF;
    return FXErrorUtil::ErrorErrNo(FXCODELOC, code, "Could not write %s", m_sFilePath.c_str());
  }
  m_oFile << line << "\n";
  if (m_oFile.fail()) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Could not write %s", m_sFilePath.c_str());
  return CQiError();
}

CQiError BlockDeviceConfigReaderWriter::FinishWriting(std::fstream& stream, const std::string& path,
                                                      std::string& temporary) {
  const bool writing = !temporary.empty();
  CQiError result;
  if (stream.is_open()) {
    errno = 0;
    if (writing) stream.flush();
    if (writing && stream.fail()) result = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Could not write %s", path.c_str());
    errno = 0;
    stream.close();
    if (writing && stream.fail() && !result.IsError())
      result = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Could not write %s", path.c_str());
  }
  stream.clear();
  if (!writing) return result;
  if (result.IsError()) {
    unlink_utf(temporary.c_str());  // the previous file stays
  } else {
    CQiError replaced = records::ReplaceWithTemporary(temporary, path);
    if (replaced.IsError()) result = replaced.Push(FXCODELOC, "Could not write %s", path.c_str());
  }
  temporary.clear();
  return result;
}

void BlockDeviceConfigReaderWriter::DiscardWriting(std::fstream& stream, std::string& temporary) {
  stream.close();
  stream.clear();
  if (temporary.empty()) return;
  unlink_utf(temporary.c_str());
  temporary.clear();
}

void BlockDeviceConfigReaderWriter::Discard() {
  DiscardWriting(m_oFile, m_sTemporaryPath);
}

CQiError BlockDeviceConfigReaderWriter::Close() {
  CQiError result = FinishWriting(m_oFile, m_sFilePath, m_sTemporaryPath);
  if (result.IsError()) {
    EvDebug log;
    log.Error(__FUNCTION__, "%s", result.AsString().c_str());
  }
  return result;
}

// ---------------------------------------------------------------------------
// Main and extension file

BlockDeviceConfigReaderWriter_UNIX::~BlockDeviceConfigReaderWriter_UNIX() {
  BlockDeviceConfigReaderWriter_UNIX::Close();
}

void BlockDeviceConfigReaderWriter_UNIX::Discard() {
  BlockDeviceConfigReaderWriter::Discard();
  DiscardWriting(m_oExtFile, m_sExtTemporaryPath);
}

bool BlockDeviceConfigReaderWriter_UNIX::ExtensionPath(const std::string& mainPath, std::string& extPath) {
  const std::string::size_type slash = mainPath.rfind('/');
  if (slash == std::string::npos) return false;
  const size_t replaced = std::strlen(kMainFileName);
  extPath = mainPath.substr(0, slash + 1) + kExtFileName;
  if (mainPath.size() - (slash + 1) > replaced) extPath += mainPath.substr(slash + 1 + replaced);
  return true;
}

CQiError BlockDeviceConfigReaderWriter_UNIX::InitWrite(const std::string& path, bool metadataEnabled, bool append) {
  EvDebug log;
  // Checked before the main file is touched, so a bad path leaves no file behind.
  std::string extPath;
  if (!path.empty() && !ExtensionPath(path, extPath))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Invalid config file name passed");
  Discard();
  CQiError result = BlockDeviceConfigReaderWriter::InitWrite(path, metadataEnabled, append);
  if (result.IsError()) return result.Push(FXCODELOC);

  m_sExtFilePath = extPath;
  const int failed = StartWriting(m_oExtFile, extPath, append, m_sExtTemporaryPath);
  if (append)
    log.DebugLvl(__FUNCTION__, 3, "Device config file [%s] opened for append", extPath.c_str());
  else
    log.DebugLvl(__FUNCTION__, 3, "Device config file [%s] opened for truncate", extPath.c_str());
  if (failed != 0) {
    // Neither file is replaced: the main file's new content is dropped.
    m_oFile.close();
    m_oFile.clear();
    unlink_utf(m_sTemporaryPath.c_str());
    m_sTemporaryPath.clear();
    return FXErrorUtil::ErrorErrNo(FXCODELOC, failed, "Failed to open[%s] for writing, error=[%s]", extPath.c_str(),
                                   ErrnoText(failed));
  }
  m_oExtFile << HeaderLines(metadataEnabled);
  return CQiError();
}

CQiError BlockDeviceConfigReaderWriter_UNIX::InitRead(const std::string& path) {
  Discard();
  CQiError result = BlockDeviceConfigReaderWriter::InitRead(path);
  if (result.IsError()) return result.Push(FXCODELOC);

  std::string extPath;
  if (!ExtensionPath(path, extPath))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Invalid config file name passed [%s]", path.c_str());
  m_sExtFilePath = extPath;
  errno = 0;
  m_oExtFile.open(extPath, std::ios::in);
  if (!m_oExtFile.is_open()) {
    const int code = StreamErrno();
    m_oExtFile.clear();
    if (code == ENOENT) return CQiError();
    return FXErrorUtil::ErrorErrNo(FXCODELOC, code, "Failed to open[%s] for reading, error=[%s]", extPath.c_str(),
                                   ErrnoText(code));
  }
  return CQiError();
}

CQiError BlockDeviceConfigReaderWriter_UNIX::ReadNextExtBackupDevice(BackupDeviceInfo& device) {
  // A missing extension file reads as an empty one.
  if (m_oExtFile.eof() || !m_oExtFile.is_open() || ::access(m_sExtFilePath.c_str(), F_OK) != 0) return CQiError();
  bool lineRead = false;
  const int failed = m_oExtFile.fail() ? StreamErrno() : ReadRecord(m_oExtFile, device, lineRead, nullptr);
  if (failed != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, failed, "failed to read next device entry from file[%s], error[%s}",
                                   m_sExtFilePath.c_str(), ErrnoText(failed));
  return CQiError();
}

CQiError BlockDeviceConfigReaderWriter_UNIX::WriteNextExtBackupDevice(const BackupDeviceInfo& device) {
  CQiError refused = CheckLine(FXCODELOC, device, m_sExtFilePath);
  if (refused.IsError()) return refused;
  const std::string line = device.Serialize();
  errno = 0;
  if (!m_oExtFile.is_open() || m_sExtTemporaryPath.empty() || !m_oExtFile.good()) {
    const int code = m_oExtFile.is_open() && !m_sExtTemporaryPath.empty() ? StreamErrno() : EBADF;
    return FXErrorUtil::ErrorErrNo(FXCODELOC, code, "failed to write next device entry to file[%s], error[%s}",
                                   m_sExtFilePath.c_str(), ErrnoText(code));
  }
  m_oExtFile << line << "\n";
  if (m_oExtFile.fail()) {
    const int code = StreamErrno();
    return FXErrorUtil::ErrorErrNo(FXCODELOC, code, "Could not write to file[%s], error[%s]", m_sExtFilePath.c_str(),
                                   ErrnoText(code));
  }
  return CQiError();
}

CQiError BlockDeviceConfigReaderWriter_UNIX::ReadNextBackupConfig(BackupDeviceInfo& device) {
  for (;;) {
    bool lineRead = false;
    std::string line;
    CQiError result = ReadMainRecord(device, &lineRead, &line);
    if (result.IsError()) return result.Push(FXCODELOC);
    if (device.IsValid()) return CQiError();
    if (!lineRead) break;  // the main file's end: on to the extension file
    // One record that cannot be used (an unsupported device, unusable
    // geometry, a damaged line) must not hide the devices after it.
    EvDebug log;
    log.DebugLvl(__FUNCTION__, 3, "Skipping device record that is not valid or not supported [%s]", line.c_str());
    device = BackupDeviceInfo();
  }
  CQiError result = ReadNextExtBackupDevice(device);
  if (result.IsError()) return result.Push(FXCODELOC);
  return CQiError();
}

CQiError BlockDeviceConfigReaderWriter_UNIX::WriteNextBackupConfig(const BackupDeviceInfo&) {
  return CQiError();
}

CQiError BlockDeviceConfigReaderWriter_UNIX::LookUpUnderlyingBackupDevInfo(BackupDeviceInfo& device,
                                                                           std::vector<BackupDeviceInfo>& found) {
  for (;;) {
    BackupDeviceInfo candidate;
    CQiError result = ReadNextExtBackupDevice(candidate);
    if (result.IsError()) return result.Push(FXCODELOC);
    if (!candidate.IsValid()) return CQiError();
    if (candidate.GetSourceVolName() == device.GetSourceDeviceName()) found.push_back(candidate);
  }
}

CQiError BlockDeviceConfigReaderWriter_UNIX::Close() {
  CQiError result = BlockDeviceConfigReaderWriter::Close();
  CQiError ext = FinishWriting(m_oExtFile, m_sExtFilePath, m_sExtTemporaryPath);
  if (ext.IsError()) {
    EvDebug log;
    log.Error(__FUNCTION__, "%s", ext.AsString().c_str());
    if (!result.IsError()) result = ext;
  }
  if (result.IsError()) return result.Push(FXCODELOC);
  return result;
}
