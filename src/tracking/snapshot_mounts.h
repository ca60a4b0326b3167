#pragma once
// Unmounting a snapshot before it is removed: every mount of it that the
// mount table lists.
#include <list>
#include <string>

#include "platform/mnttab/kz_mnt_tab.h"

namespace tracking {

// Runs "umount <mount point>" for each entry whose device is the snapshot; a
// failure is logged and the others are still tried.
void UnmountSnapshot(const std::list<KzMntTab::Entry>& mounts, const std::string& snapshot);

}  // namespace tracking
