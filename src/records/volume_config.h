#pragma once
// VolumeConfig: one block device that one subclient tracks under block-level
// backup. Its line form is the line format of the monitored-volume list.
#include <map>
#include <string>

#include "platform/error/qi_error.h"

class VolumeConfig {
 public:
  VolumeConfig() = default;
  VolumeConfig(long long vornCellId, long long clientId, long long appId, const std::string& device,
               const std::string& deviceId, long reserved1, long reserved2, long long reserved3, long long reserved4,
               const std::string& options);
  // Parses one line of the monitored-volume list; a line of fewer than five
  // fields leaves the record at its defaults and not valid.
  explicit VolumeConfig(const std::string& line);

  long long VornCellId() const { return m_nVornCellId; }
  long long ClientId() const { return m_nClientId; }
  long long AppId() const { return m_nAppId; }
  std::string Device() const { return m_sDevice; }
  std::string DeviceId() const { return m_sDeviceId; }
  bool IsValid() const { return m_bValid; }
  long Reserved1() const { return m_lReserved1; }
  long Reserved2() const { return m_lReserved2; }
  long long Reserved3() const { return m_llReserved3; }
  long long Reserved4() const { return m_llReserved4; }
  // Unix seconds at which the record was parsed from a line; 0 otherwise.
  long long LoadTime() const { return m_llLoadTime; }
  const std::string& Options() const { return m_sOptions; }
  // The device path on this machine: a record carried from another node of
  // a cluster takes the path its volume has here.
  void SetDevice(const std::string& device) { m_sDevice = device; }

  // Same device, device id, application, client and cell.
  bool operator==(const VolumeConfig& other) const;
  bool operator!=(const VolumeConfig& other) const { return !(*this == other); }

  // The line: ten '|'-separated fields and a line feed.
  std::string Serialize() const;

  // The options as key -> value, keys and values trimmed of blanks and tabs;
  // a later pair with the same key wins.
  std::map<std::string, std::string> GetOptions() const;

  // Adds or replaces one "key=value" option. Fails with 774 and leaves the
  // options unchanged when the text is empty, does not hold exactly one '=',
  // or holds a character that would break the options text or the line
  // (';', '|', a line end or a zero byte).
  CQiError AddOption(const std::string& option);

  // When Device is a symbolic link, replaces it with the link's target made
  // absolute (one level of link only). A Device that does not exist is left
  // as it is.
  CQiError SetLinkTargetPathForDevice();

 private:
  long long m_nVornCellId = -1;
  long long m_nClientId = -1;
  long long m_nAppId = -1;
  std::string m_sDevice;
  std::string m_sDeviceId;
  bool m_bValid = false;
  long m_lReserved1 = 0;
  long m_lReserved2 = 0;
  long long m_llReserved3 = 0;
  long long m_llReserved4 = 0;
  long long m_llLoadTime = 0;
  std::string m_sOptions;
};
