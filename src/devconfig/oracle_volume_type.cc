#include "devconfig/oracle_volume_type.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>

#include "devconfig/kz_device_config_handler_unix.h"
#include "platform/config/agent_config.h"
#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "platform/memory/auto_handle.h"
#include "platform/messages/uxa_messages.h"
#include "records/file_replacement.h"

namespace devconfig {
namespace {

using VolumeType = Uxa::OraVolumeDataType;
using TypeOfVolume = std::map<std::string, std::string>;

int LastErrno() {
  return errno != 0 ? errno : -1;
}

std::string Line(const std::string& volume, const std::string& type) {
  VolumeType message;
  message.setstring(VolumeType::kVolume.number, VolumeType::kVolume.tag, volume, VolumeType::kTagId,
                    VolumeType::kVolume.check);
  message.setstring(VolumeType::kType.number, VolumeType::kType.tag, type, VolumeType::kTagId, VolumeType::kType.check);
  std::string text;
  message.serialize(text, false);
  return text + "\n";
}

// Whole lines, however long: a volume of any length must read back.
CQiError ReadTypes(const std::string& path, TypeOfVolume& types) {
  errno = 0;
  std::ifstream file(path);
  if (!file.is_open()) {
    // Only a missing file is a first volume: a file that could not be read
    // must not be replaced by one holding this volume alone.
    const int failed = LastErrno();
    if (failed == ENOENT) return CQiError();
    return FXErrorUtil::ErrorErrNo(FXCODELOC, failed, "Failed to open file [%s] to read", path.c_str());
  }
  std::string line;
  while (std::getline(file, line)) {
    VolumeType message;
    message.unserialize(line);
    types[message.getstring(VolumeType::kVolume.number, VolumeType::kVolume.tag, VolumeType::kTagId,
                            VolumeType::kVolume.check)] =
        message.getstring(VolumeType::kType.number, VolumeType::kType.tag, VolumeType::kTagId, VolumeType::kType.check);
  }
  if (!file.eof())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, LastErrno(), "Failed while reading file [%s]", path.c_str());
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 2, "Read from existing file");
  return CQiError();
}

CQiError WriteLines(const std::string& temporary, const std::string& path, const TypeOfVolume& types) {
  auto_handle file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (file.get() < 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, LastErrno(), "Failed to create file [%s] to write", path.c_str());
  for (const auto& [volume, type] : types) {
    if (volume.empty()) continue;
    const std::string line = Line(volume, type);
    uint64_t written = 0;
    CQiError err = FXFile::KZWriteFile(file.get(), line.data(), line.size(), written);
    if (err.IsError() || written != line.size())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, err.IsError() ? FXErrorUtil::GetErrNo(err) : EIO,
                                     "Failed to write [%s] to file [%s]", line.c_str(), path.c_str());
  }
  if (::close(file.release()) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, LastErrno(), "Failed to create file [%s] to write", path.c_str());
  return CQiError();
}

}  // namespace

CQiError WriteOracleVolumeType(bool postSnap, int appType, int appId, int cellId, const std::string& volume,
                               bool logs) {
  if (!postSnap || (appType != 22 && appType != 80)) return CQiError();
  if (cellId == 0 || appId == 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, 87, "VornCellId:%ld AppId:%ld are not valid", static_cast<long>(cellId),
                                   static_cast<long>(appId));
  char directory[kSubclientDirSize] = {};
  if (int failed = GetSubclientDir(static_cast<uint32_t>(cellId), static_cast<uint32_t>(appId), directory))
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627,
                                   "Failed to get JobResultsDir, GetSubclientDir returned with error %d", failed);
  const std::string path = std::string(directory) + "/" + kOracleVolumeTypeFile;

  TypeOfVolume types;
  CQiError err = ReadTypes(path, types);
  if (err.IsError()) return err;
  types[volume] = logs ? "LOGS" : "DATA";

  const std::string temporary = records::TemporaryNameFor(path);
  err = WriteLines(temporary, path, types);
  if (!err.IsError()) err = records::ReplaceWithTemporary(temporary, path);
  if (err.IsError()) {
    unlink_utf(temporary.c_str());
    return err;
  }
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 2, "Oracle Config file [%s] created for Index for block level backup", path.c_str());
  return CQiError();
}

}  // namespace devconfig

CQiError KzDeviceConfigHandler_UNIX::WriteVolumeTypeForOracleBlockLvl(bool postSnap, int appType, int appId, int cellId,
                                                                      const std::string& volume) {
  return devconfig::WriteOracleVolumeType(postSnap, appType, appId, cellId, volume, ShouldAppendDeviceConfig());
}
