#pragma once
// Seeding and inspection of the mount table (blbsim mnt ...).
#include <list>
#include <string>

#include "platform/mnttab/kz_mnt_tab.h"

namespace blbsim {

// Injects a mount of the device on the folder; after the real table.
bool AddMount(const std::string& device, const std::string& mountPoint, const std::string& fsType = "ext4");
bool ClearMounts();
bool SetRealMounts(bool on);
// What KzMntTab::getAll gives now.
CQiError Mounts(std::list<KzMntTab::Entry>& entries);

}  // namespace blbsim
