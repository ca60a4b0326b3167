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
// ones when there were any, as in `combined`): the left-behind file becomes
// the pending one, or, with one there already, is left for RemoveConsumed.
// On failure the left-behind file stays.
CQiError KeepBitsPending(const std::string& leftBehind, bool pendingExisted, const unsigned char* combined,
                         unsigned long size);

// Removes a file of the merge whose bits are handed on, and syncs its
// folder: a left-behind bitmap that a power loss brings back would be
// trusted by a later start, a pending one merged again. A file that cannot
// be removed is logged and left (a later backup merges its bits again, or
// goes full once more); the removal not on disk is the failure returned.
CQiError RemoveConsumed(const std::string& path);

}  // namespace fail_over
