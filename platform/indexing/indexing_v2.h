#pragma once
// Whether a subclient's backups are indexed with indexing V2 (the
// subclient's `indexing_v2` in the configuration; `blbsim index v2`).
#include <cstdint>

// 0 with the answer; non-zero when the question failed (the fault's code;
// 1627 when the configuration cannot be read).
// A subclient the configuration does not know does not use indexing V2.
// Fault: "shouldUseIndexingV2".
int shouldUseIndexingV2(uint64_t cellId, uint64_t appId, bool& useIndexingV2);
