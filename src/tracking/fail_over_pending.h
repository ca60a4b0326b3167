#pragma once
// What a backup's fail-over merge took from the attached-volume list's
// folder, kept there as "<left-behind bitmap>.pending" until the backup's
// snapshot task has finished: a backup that dies in between has handed the
// bits (or the full backup a consumed dirty mark asks for, all bits set) to
// no one, and the next one's merge takes them again.
#include <string>

#include "platform/error/qi_error.h"

namespace fail_over {

std::string PendingBitmap(const std::string& leftBehind);

// Makes the pending bitmap all ones (a consumed dirty mark).
CQiError KeepFullPending(const std::string& leftBehind, unsigned long size);

// Makes the pending bitmap hold the left-behind bits (ORed with the pending
// ones when there were any, as in `combined`) and removes the left-behind
// file. On failure the left-behind file stays.
CQiError KeepBitsPending(const std::string& leftBehind, bool pendingExisted, const unsigned char* combined,
                         unsigned long size);

}  // namespace fail_over
