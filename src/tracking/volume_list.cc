#include "tracking/volume_list.h"

#include <algorithm>
#include <fstream>
#include <optional>

#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"
#include "records/durable_files.h"
#include "records/file_replacement.h"
#include "tracking/subclient_cache.h"

namespace {

CQiError NotFound(const FXCodeLocation& location, long long cell, long long client, long long app,
                  const std::string& device) {
  return FXErrorUtil::ErrorWin32(location, 1168,
                                 "Volume config not found in list, vcId=%lld, clientId=%lld, appId=%lld, device=%s",
                                 cell, client, app, device.c_str());
}

}  // namespace

CQiError CVolumeList::Initialize(const std::string& folder) {
  m_sFolder = folder;
  m_sFilePath = folder;
  CQiError err = records::CreateFolderDurably(folder, true);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to create config directory, ConfigDir=%s", folder.c_str());
  m_sFilePath = FXPath::Append(m_sFilePath, kFileName);
  return err;
}

CQiError CVolumeList::Load() {
  std::optional<KZDebugFunction> trace;
  if (EvDebug::IsLevelEnabled(1)) trace.emplace(__FUNCTION__);
  EvDebug log;
  if (!FXPath::DoesPathExist(m_sFilePath)) {
    log.DebugLvl(__FUNCTION__, 0, "Driver cache config folder doesnt exists, nothing todo");
    return CQiError();
  }
  m_lVolumes.clear();
  std::ifstream file(m_sFilePath);
  if (!file.good()) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open, ConfigFile=%s", m_sFilePath.c_str());
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty()) continue;
    VolumeConfig record(line);
    if (record.IsValid()) m_lVolumes.push_back(record);
  }
  // A read that broke off would pass for a shorter list, and the next save
  // would drop the registrations it missed.
  if (file.bad()) {
    m_lVolumes.clear();
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to read, ConfigFile=%s", m_sFilePath.c_str());
  }
  return CQiError();
}

CQiError CVolumeList::Save() {
  // A name of this writer's own: two processes saving at once must not write
  // into one temporary and rename a mix of both lists.
  const std::string temporary = records::TemporaryNameFor(m_sFilePath);
  auto_handle file;
  CQiError err = FXFile::KZCreateFile(temporary.c_str(), fxfile::kGenericWrite, fxfile::kShareRead, nullptr,
                                      fxfile::kCreateAlways, fxfile::kAttributeNormal, file);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to open, ConfigFile=%s", m_sFilePath.c_str());
  std::string contents;
  for (const VolumeConfig& record : m_lVolumes) contents += record.Serialize();
  uint64_t written = 0;
  err = FXFile::KZWriteFile(file.get(), contents.data(), contents.size(), written);
  if (!err.IsError() && written != contents.size())
    err = FXErrorUtil::ErrorWin32(FXCODELOC, 774, "Short write, wrote=%llu, actual=%llu",
                                  static_cast<unsigned long long>(written),
                                  static_cast<unsigned long long>(contents.size()));
  if (!err.IsError() && ::close(file.release()) != 0)
    err = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to close %s", temporary.c_str());
  if (err.IsError()) {
    file.reset();
    unlink_utf(temporary.c_str());
  } else {
    err = records::ReplaceWithTemporary(temporary, m_sFilePath);
  }
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to write, ConfigFile=%s", m_sFilePath.c_str());
  return err;
}

CQiError CVolumeList::Get(const std::string& device, const std::string& deviceId,
                          std::list<VolumeConfig>& found) const {
  found.clear();
  for (const VolumeConfig& record : m_lVolumes)
    if (record.Device() == device || record.DeviceId() == deviceId) found.push_back(record);
  return CQiError();
}

CQiError CVolumeList::Get(long long vornCellId, long long clientId, long long appId, const std::string& device,
                          const std::string& deviceId, VolumeConfig& found) const {
  for (const VolumeConfig& record : m_lVolumes) {
    if (record.VornCellId() == vornCellId && record.ClientId() == clientId && record.AppId() == appId &&
        record.Device() == device && record.DeviceId() == deviceId) {
      found = record;
      return CQiError();
    }
  }
  return NotFound(FXCODELOC, vornCellId, clientId, appId, device);
}

CQiError CVolumeList::Get(long long vornCellId, long long clientId, long long appId, const std::string& deviceId,
                          VolumeConfig& found) const {
  for (const VolumeConfig& record : m_lVolumes) {
    if (record.DeviceId() == deviceId && record.AppId() == appId && record.ClientId() == clientId &&
        record.VornCellId() == vornCellId) {
      found = record;
      return CQiError();
    }
  }
  return NotFound(FXCODELOC, vornCellId, clientId, appId, deviceId);
}

bool CVolumeList::IsExists(const VolumeConfig& record) const {
  return std::find(m_lVolumes.begin(), m_lVolumes.end(), record) != m_lVolumes.end();
}

CQiError CVolumeList::Add(const VolumeConfig& record, bool save) {
  m_lVolumes.push_back(record);
  if (!save) return CQiError();
  CQiError err = Save();
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CVolumeList::Delete(const VolumeConfig& record) {
  auto it = std::find(m_lVolumes.begin(), m_lVolumes.end(), record);
  if (it != m_lVolumes.end()) m_lVolumes.erase(it);
  return CQiError();
}

CQiError CVolumeList::Update(const std::list<VolumeConfig>& current) {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 0, "Current list=%lu  New list=%lu long", static_cast<unsigned long>(m_lVolumes.size()),
               static_cast<unsigned long>(current.size()));
  for (auto it = m_lVolumes.begin(); it != m_lVolumes.end();) {
    VolumeConfig resolved = *it;
    CQiError err = resolved.SetLinkTargetPathForDevice();
    if (err.IsError()) return err.Push(FXCODELOC);
    if (std::find(current.begin(), current.end(), resolved) != current.end()) {
      ++it;
      continue;
    }
    log.DebugLvl(__FUNCTION__, 0, "Erasing entry = [%s]", it->Serialize().c_str());
    err = CSubclientCache::Cleanup(*it);
    if (err.IsError()) return err.Push(FXCODELOC);
    it = m_lVolumes.erase(it);
  }
  return CQiError();
}
