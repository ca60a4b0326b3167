#pragma once
// Whether a subclient is backed up block by block.
#include "platform/services/subclient.h"

// The block-level flag, or else (when `orSPOS`) the block-level SPOS flag,
// read successfully and set.
inline bool IsBlockLevelSubclient(Subclient& subclient, bool orSPOS) {
  unsigned long flag = 0;
  if (subclient.getUseBlockLevelBackup(flag, nullptr) == 0 && flag != 0) return true;
  if (!orSPOS) return false;
  flag = 0;
  return subclient.getUseBlockLevelSPOSBackup(flag, nullptr) == 0 && flag != 0;
}
