#include "platform/harness/mount_harness.h"

namespace blbsim {

bool AddMount(const std::string& device, const std::string& mountPoint, const std::string& fsType) {
  KzMntTab::Entry entry;
  entry.m_sDevice = device;
  entry.m_sMountPoint = mountPoint;
  entry.m_sFsType = fsType;
  entry.m_sOptions = "rw";
  return platform::AddMountEntry(entry);
}

bool ClearMounts() { return platform::ClearMountEntries(); }

bool SetRealMounts(bool on) { return platform::SetRealMountTable(on); }

CQiError Mounts(std::list<KzMntTab::Entry>& entries) { return KzMntTab::getAll(entries); }

}  // namespace blbsim
