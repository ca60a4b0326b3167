#pragma once
// The job services' backup level: 1 full, 2 incremental, 4 differential
// (parsed from a job's arguments; the snapshot task refuses it), 64
// synthetic full.
#include <cstdint>

enum KZBkpLevel : uint32_t {
  KZ_BKP_LEVEL_FULL = 1,
  KZ_BKP_LEVEL_INCREMENTAL = 2,
  KZ_BKP_LEVEL_DIFFERENTIAL = 4,
  KZ_BKP_LEVEL_SYNTHFULL = 64
};
