#pragma once
// The machine-wide list of devices that the KZBF driver tracks for
// subclients: one VolumeConfig per device and subclient, kept in
// "BLKVolumeMoniterList.kzf" in the driver cache folder, one record line
// each, in list order.
//
// The list takes no lock: its users hold the machine-wide semaphore from
// each Load to the matching Save.
#include <list>
#include <string>

#include "platform/error/qi_error.h"
#include "records/volume_config.h"

class CVolumeList {
 public:
  static constexpr const char* kFileName = "BLKVolumeMoniterList.kzf";

  CVolumeList() = default;

  // Keeps the folder, creates it and sets the file path.
  CQiError Initialize(const std::string& folder);
  // Replaces the list with the file's valid records; without a file the
  // list in memory stays as it was.
  CQiError Load();
  // Replaces the file with the list, through a temporary file renamed over
  // it, so a failed or interrupted save leaves the previous list intact.
  CQiError Save();

  std::list<VolumeConfig>& GetList() { return m_lVolumes; }
  const std::string& GetFilePath() const { return m_sFilePath; }

  // Every entry whose Device or DeviceId matches, in list order.
  CQiError Get(const std::string& device, const std::string& deviceId, std::list<VolumeConfig>& found) const;
  // The first entry with all five equal; 1168 when none.
  CQiError Get(long long vornCellId, long long clientId, long long appId, const std::string& device,
               const std::string& deviceId, VolumeConfig& found) const;
  // The first entry of that subclient and DeviceId (any device); 1168 when none.
  CQiError Get(long long vornCellId, long long clientId, long long appId, const std::string& deviceId,
               VolumeConfig& found) const;
  bool IsExists(const VolumeConfig& record) const;
  // Appends (no duplicate test); saves when asked.
  CQiError Add(const VolumeConfig& record, bool save);
  // Erases the first equal entry, if any; does not save.
  CQiError Delete(const VolumeConfig& record);
  // Drops every entry whose device (links resolved) no subclient's content
  // resolves to now, cleaning up its subclient cache first; does not save.
  CQiError Update(const std::list<VolumeConfig>& current);

 private:
  std::list<VolumeConfig> m_lVolumes;
  std::string m_sFolder;
  std::string m_sFilePath;
};
