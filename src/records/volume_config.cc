#include "records/volume_config.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/log/ev_debug.h"
#include "platform/path/qi_path.h"
#include "platform/text/fx_string.h"
#include "platform/time/time_stamp.h"
#include "records/link_target.h"

VolumeConfig::VolumeConfig(long long vornCellId, long long clientId, long long appId, const std::string& device,
                           const std::string& deviceId, long reserved1, long reserved2, long long reserved3,
                           long long reserved4, const std::string& options)
    : m_nVornCellId(vornCellId),
      m_nClientId(clientId),
      m_nAppId(appId),
      m_sDevice(device),
      m_sDeviceId(deviceId),
      m_bValid(true),
      m_lReserved1(reserved1),
      m_lReserved2(reserved2),
      m_llReserved3(reserved3),
      m_llReserved4(reserved4),
      m_sOptions(options) {}

VolumeConfig::VolumeConfig(const std::string& line) {
  FXString text(line);
  if (text.MatchRight("\n")) text.RemoveRight(1);
  const std::vector<FXString> fields = text.Split('|');
  if (fields.size() < 5) return;

  m_nVornCellId = std::strtoll(fields[0].c_str(), nullptr, 0);
  m_nClientId = std::strtoll(fields[1].c_str(), nullptr, 0);
  m_nAppId = std::strtoll(fields[2].c_str(), nullptr, 0);
  m_sDevice = fields[3];
  m_sDeviceId = fields[4];
  if (fields.size() >= 6) m_lReserved1 = std::strtol(fields[5].c_str(), nullptr, 0);
  if (fields.size() >= 7) m_lReserved2 = std::strtol(fields[6].c_str(), nullptr, 0);
  if (fields.size() >= 8) m_llReserved3 = std::strtoll(fields[7].c_str(), nullptr, 0);
  if (fields.size() >= 9) m_llReserved4 = std::strtoll(fields[8].c_str(), nullptr, 0);
  if (fields.size() >= 10) m_sOptions = fields[9];

  m_llLoadTime = CTimeStamp::Now().AsUnixTime();
  m_bValid = true;
}

bool VolumeConfig::operator==(const VolumeConfig& other) const {
  return m_sDevice == other.m_sDevice && m_sDeviceId == other.m_sDeviceId && m_nAppId == other.m_nAppId &&
         m_nClientId == other.m_nClientId && m_nVornCellId == other.m_nVornCellId;
}

std::string VolumeConfig::Serialize() const {
  return FXString::Format("%lld|%lld|%lld|%s|%s|%ld|%ld|%lld|%lld|%s\n", m_nVornCellId, m_nClientId, m_nAppId,
                          m_sDevice.c_str(), m_sDeviceId.c_str(), m_lReserved1, m_lReserved2, m_llReserved3,
                          m_llReserved4, m_sOptions.c_str());
}

std::map<std::string, std::string> VolumeConfig::GetOptions() const {
  // Pairs are "key=value" ended by ';' or the end: a key runs to the next
  // '=', a value to the next ';' (it may hold '='). Walked by hand rather than
  // with a regular expression, whose recursive matcher can exhaust the stack
  // on a long line read from the list file.
  std::map<std::string, std::string> options;
  std::string::size_type position = 0;
  while (position < m_sOptions.size()) {
    const std::string::size_type equals = m_sOptions.find('=', position);
    if (equals == std::string::npos) break;
    std::string::size_type end = m_sOptions.find(';', equals + 1);
    if (end == std::string::npos) end = m_sOptions.size();
    FXString key(m_sOptions.substr(position, equals - position));
    FXString value(m_sOptions.substr(equals + 1, end - equals - 1));
    options[key.TrimWhiteSpace()] = value.TrimWhiteSpace();
    position = end < m_sOptions.size() ? end + 1 : end;
  }
  return options;
}

CQiError VolumeConfig::AddOption(const std::string& option) {
  // Exactly one '=', and nothing that would end a pair (';'), a field ('|')
  // or the line inside the options text.
  const std::string::size_type equals = option.find('=');
  const bool oneEquals = equals != std::string::npos && equals == option.rfind('=');
  const bool breaksLine = option.find_first_of(std::string(";|\r\n\0", 5)) != std::string::npos;
  if (!oneEquals || breaksLine) {
    return FXErrorUtil::ErrorWin32(FXCODELOC, 774, "Invalid format, options=%s", option.c_str());
  }

  std::map<std::string, std::string> options = GetOptions();
  options[option.substr(0, equals)] = option.substr(equals + 1);
  FXString rebuilt;
  for (const auto& [key, value] : options) {
    rebuilt += key;
    rebuilt += '=';
    rebuilt += value;
    rebuilt += ';';
  }
  rebuilt.TrimRight(";");
  m_sOptions = rebuilt;
  return CQiError();
}

CQiError VolumeConfig::SetLinkTargetPathForDevice() {
  EvDebug log;
  bool isLink = false;
  CQiError error = CQiPath(m_sDevice).IsLink(isLink);
  if (error.IsError()) {
    log.DebugLvl(__FUNCTION__, -1, "Failed to check if path=%s is a link, error=%s", m_sDevice.c_str(),
                 error.AsString().c_str());
    if (FXErrorUtil::IsErrNo(error, ENOENT)) return CQiError();
    return error;
  }
  if (!isLink) return CQiError();

  std::string resolved;
  error = ReadLinkTargetOneLevel(m_sDevice, resolved);
  if (error.IsError()) return error;
  m_sDevice = resolved;
  return CQiError();
}
