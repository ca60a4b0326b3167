#include "records/block_device_config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"

namespace {

constexpr const char* kHeader =
    "# IsSupported|SourceVolume|SourceDevice|FSType|MountOptions|ExtentSize|TotalBlocks"
    "|FSBlockSize|BitMapSize|LogSectorSz|PhySectorSz|IOMinSz|IOOptimalSz|Version\n";

// The errno of a failed stream operation, never 0.
int StreamErrno() { return errno != 0 ? errno : -1; }

const char* ErrnoText(int code) { return code > 0 ? std::strerror(code) : "unknown error"; }

std::ios::openmode WriteMode(bool append) { return std::ios::out | (append ? std::ios::app : std::ios::trunc); }

}  // namespace

// ---------------------------------------------------------------------------
// Main file

BlockDeviceConfigReaderWriter::~BlockDeviceConfigReaderWriter() { BlockDeviceConfigReaderWriter::Close(); }

std::string BlockDeviceConfigReaderWriter::HeaderLines(bool metadataEnabled) {
  return std::string(kHeader) + (metadataEnabled ? kMetadataEnabled : kMetadataNotEnabled) + "\n";
}

CQiError BlockDeviceConfigReaderWriter::InitWrite(const std::string& path, bool metadataEnabled, bool append) {
  EvDebug log;
  if (path.empty()) return FXErrorUtil::ErrorErrNo(FXCODELOC, 2, "Empty config file name passed");
  Close();
  m_sFilePath = path;
  errno = 0;
  m_oFile.open(path, WriteMode(append));
  if (append)
    log.DebugLvl(__FUNCTION__, 3, "Device config file [%s] opened for append", path.c_str());
  else
    log.DebugLvl(__FUNCTION__, 3, "Device config file [%s] opened for write", path.c_str());
  if (!m_oFile.good()) {
    const int code = StreamErrno();
    m_oFile.close();
    m_oFile.clear();
    return FXErrorUtil::ErrorErrNo(FXCODELOC, code, "Failed to open '%s' to write", path.c_str());
  }
  m_bWriting = true;
  m_oFile << HeaderLines(metadataEnabled);
  return CQiError();
}

CQiError BlockDeviceConfigReaderWriter::InitRead(const std::string& path) {
  if (path.empty()) return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Empty config file name passed");
  Close();
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
  m_oFile.clear();
  m_oFile.seekg(0, std::ios::beg);
  log.DebugLvl(__FUNCTION__, 3, "IsMetaDataEnabled=%d", m_bMetadataEnabled ? 1 : 0);
  return CQiError();
}

bool BlockDeviceConfigReaderWriter::ReadRecord(std::fstream& stream, BackupDeviceInfo& device) {
  device = BackupDeviceInfo();
  std::string line;
  while (std::getline(stream, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line.back() == '\r') line.pop_back();
    if (!line.empty() && line.back() == '\t') line.pop_back();
    device = BackupDeviceInfo(line);
    return true;
  }
  return false;
}

CQiError BlockDeviceConfigReaderWriter::ReadMainRecord(BackupDeviceInfo& device, bool* lineRead) {
  if (lineRead != nullptr) *lineRead = false;
  if (m_oFile.eof()) return CQiError();
  if (!m_oFile.is_open() || m_oFile.fail()) {
    const int code = m_oFile.is_open() ? StreamErrno() : EBADF;
    return FXErrorUtil::ErrorErrNo(FXCODELOC, code, "read i/o error for [%s]", m_sFilePath.c_str());
  }
  const bool read = ReadRecord(m_oFile, device);
  if (lineRead != nullptr) *lineRead = read;
  return CQiError();
}

CQiError BlockDeviceConfigReaderWriter::WriteNextBackupDevice(const BackupDeviceInfo& device) {
  const std::string line = device.Serialize();
  errno = 0;
  if (!m_oFile.is_open() || !m_bWriting || !m_oFile.good()) {
    const int code = m_oFile.is_open() && m_bWriting ? StreamErrno() : EBADF;
    return FXErrorUtil::ErrorErrNo(FXCODELOC, code, "Could not write %s", m_sFilePath.c_str());
  }
  m_oFile << line << "\n";
  if (m_oFile.fail()) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Could not write %s", m_sFilePath.c_str());
  return CQiError();
}

CQiError BlockDeviceConfigReaderWriter::FinishWriting(std::fstream& stream, const std::string& path, bool writing) {
  CQiError result;
  if (writing && stream.is_open()) {
    errno = 0;
    stream.flush();
    if (stream.fail()) {
      result = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Could not write %s", path.c_str());
    } else {
      // Later jobs read the file: its contents must outlive a crash.
      int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0 || ::fsync(fd) != 0)
        result = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Could not write %s", path.c_str());
      if (fd >= 0) ::close(fd);
    }
  }
  if (stream.is_open()) {
    errno = 0;
    stream.close();
    if (writing && stream.fail() && !result.IsError())
      result = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Could not write %s", path.c_str());
  }
  stream.clear();
  return result;
}

CQiError BlockDeviceConfigReaderWriter::Close() {
  CQiError result = FinishWriting(m_oFile, m_sFilePath, m_bWriting);
  m_bWriting = false;
  if (result.IsError()) {
    EvDebug log;
    log.Error(__FUNCTION__, "%s", result.AsString().c_str());
  }
  return result;
}

// ---------------------------------------------------------------------------
// Main and extension file

BlockDeviceConfigReaderWriter_UNIX::~BlockDeviceConfigReaderWriter_UNIX() { BlockDeviceConfigReaderWriter_UNIX::Close(); }

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
  Close();
  CQiError result = BlockDeviceConfigReaderWriter::InitWrite(path, metadataEnabled, append);
  if (result.IsError()) return result.Push(FXCODELOC);

  m_sExtFilePath = extPath;
  errno = 0;
  m_oExtFile.open(extPath, WriteMode(append));
  if (append)
    log.DebugLvl(__FUNCTION__, 3, "Device config file [%s] opened for append", extPath.c_str());
  else
    log.DebugLvl(__FUNCTION__, 3, "Device config file [%s] opened for truncate", extPath.c_str());
  if (!m_oExtFile.is_open()) {
    const int code = StreamErrno();
    m_oExtFile.clear();
    return FXErrorUtil::ErrorErrNo(FXCODELOC, code, "Failed to open[%s] for writing, error=[%s]", extPath.c_str(),
                                   ErrnoText(code));
  }
  m_bExtWriting = true;
  m_oExtFile << HeaderLines(metadataEnabled);
  return CQiError();
}

CQiError BlockDeviceConfigReaderWriter_UNIX::InitRead(const std::string& path) {
  Close();
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
  if (m_oExtFile.fail()) {
    const int code = StreamErrno();
    return FXErrorUtil::ErrorErrNo(FXCODELOC, code, "failed to read next device entry from file[%s], error[%s}",
                                   m_sExtFilePath.c_str(), ErrnoText(code));
  }
  ReadRecord(m_oExtFile, device);
  return CQiError();
}

CQiError BlockDeviceConfigReaderWriter_UNIX::WriteNextExtBackupDevice(const BackupDeviceInfo& device) {
  const std::string line = device.Serialize();
  errno = 0;
  if (!m_oExtFile.is_open() || !m_bExtWriting || !m_oExtFile.good()) {
    const int code = m_oExtFile.is_open() && m_bExtWriting ? StreamErrno() : EBADF;
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
    CQiError result = ReadMainRecord(device, &lineRead);
    if (result.IsError()) return result.Push(FXCODELOC);
    if (device.IsValid()) return CQiError();
    if (!lineRead) break;  // the main file's end: on to the extension file
    // A parsed record of an unsupported device, or one whose geometry is
    // unusable, is passed over; a line that does not parse ends the reading
    // here.
    if (!device.IsParsed()) return CQiError();
    EvDebug log;
    log.DebugLvl(__FUNCTION__, 3, "Skipping unsupported device [%s]", device.Serialize().c_str());
    device = BackupDeviceInfo();
  }
  CQiError result = ReadNextExtBackupDevice(device);
  if (result.IsError()) return result.Push(FXCODELOC);
  return CQiError();
}

CQiError BlockDeviceConfigReaderWriter_UNIX::WriteNextBackupConfig(const BackupDeviceInfo&) { return CQiError(); }

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
  CQiError ext = FinishWriting(m_oExtFile, m_sExtFilePath, m_bExtWriting);
  m_bExtWriting = false;
  if (ext.IsError()) {
    EvDebug log;
    log.Error(__FUNCTION__, "%s", ext.AsString().c_str());
    if (!result.IsError()) result = ext;
  }
  if (result.IsError()) return result.Push(FXCODELOC);
  return result;
}
