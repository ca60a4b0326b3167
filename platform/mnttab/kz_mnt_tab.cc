#include "platform/mnttab/kz_mnt_tab.h"

#include <cerrno>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/sim/fault_table.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

StateDb& Db() {
  return StateDb::Current();
}

}  // namespace

std::string DecodeMountField(const std::string& field) {
  std::string text;
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) && octal(field[i + 3])) {
      text += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
      i += 3;
      continue;
    }
    text += field[i];
  }
  return text;
}

bool ParseMountLine(const std::string& line, KzMntTab::Entry& entry) {
  std::istringstream fields(line);
  std::string device, mountPoint, fsType, options;
  unsigned long long dump = 0, pass = 0;
  if (!(fields >> device >> mountPoint >> fsType >> options)) return false;
  fields >> dump >> pass;  // absent: 0
  entry.m_sDevice = DecodeMountField(device);
  entry.m_sMountPoint = DecodeMountField(mountPoint);
  entry.m_sFsType = DecodeMountField(fsType);
  entry.m_sOptions = DecodeMountField(options);
  entry.m_nDumpPass = (static_cast<uint64_t>(dump & 0xFFFFFFFFu) << 32) | (pass & 0xFFFFFFFFu);
  return true;
}

bool AddMountEntry(const KzMntTab::Entry& entry) {
  SqlStatement insert(Db(), "INSERT INTO mounts (device, mount_point, options, fs_type) VALUES (?, ?, ?, ?);");
  insert.Bind(1, entry.m_sDevice).Bind(2, entry.m_sMountPoint).Bind(3, entry.m_sOptions).Bind(4, entry.m_sFsType);
  return insert.Run();
}

bool ClearMountEntries() {
  return Db().Exec("DELETE FROM mounts;").ok();
}

bool SetRealMountTable(bool on) {
  SqlStatement upsert(Db(), "INSERT OR REPLACE INTO mount_settings (name, value) VALUES ('real', ?);");
  upsert.Bind(1, on ? 1 : 0);
  return upsert.Run();
}

StateDbResult IsRealMountTableOn(bool& on) {
  SqlStatement query(Db(), "SELECT value FROM mount_settings WHERE name = 'real';");
  std::optional<bool> found;
  const StateDbResult read = ReadFirstRow(query, found, [](const SqlStatement& row) { return row.Int(0) != 0; });
  on = found.value_or(true);
  return read;
}

}  // namespace platform

CQiError KzMntTab::getAll(std::list<Entry>& entries) {
  CQiError fault = platform::InjectedFault("KzMntTab::getAll", FXCODELOC);
  if (fault.IsError()) return fault;
  entries.clear();
  bool real = true;
  const platform::StateDbResult setting = platform::IsRealMountTableOn(real);
  if (!setting)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, setting.Code(), "Cannot read the mount table's setting: %s",
                                   setting.Why().c_str());
  if (real) {
    std::ifstream table("/proc/self/mounts");
    if (!table.good()) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot read [/proc/self/mounts]");
    std::string line;
    while (std::getline(table, line)) {
      Entry entry;
      if (platform::ParseMountLine(line, entry)) entries.push_back(entry);
    }
    if (table.bad()) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot read [/proc/self/mounts]");
  }
  platform::SqlStatement query(platform::Db(),
                               "SELECT device, mount_point, options, fs_type FROM mounts ORDER BY seq;");
  const platform::StateDbResult injected = platform::ForEachRow(query, [&entries](const platform::SqlStatement& row) {
    Entry entry;
    entry.m_sDevice = row.Text(0);
    entry.m_sMountPoint = row.Text(1);
    entry.m_sOptions = row.Text(2);
    entry.m_sFsType = row.Text(3);
    entries.push_back(entry);
  });
  if (!injected) {
    entries.clear();
    return FXErrorUtil::ErrorErrNo(FXCODELOC, injected.Code(), "Cannot read the injected mount entries: %s",
                                   injected.Why().c_str());
  }
  return CQiError();
}

const KzMntTab::Entry* KzMntTab::find(const std::list<Entry>& entries, const std::string& path) {
  const Entry* found = nullptr;
  for (const Entry& entry : entries)
    if (entry.m_sMountPoint == path) found = &entry;
  return found;
}
