#pragma once
// SMVolBlock: the snapshot library's record of one volume, handed by
// reference through the pre- and post-snapshot steps. The force-full flag is
// both the caller's request and the bitmap steps' answer: they set it when
// the volume's backup must be full.
#include <cstdint>
#include <string>

struct SMVolBlock {
  std::string sDevice;        // device path
  std::string sVolume;        // mount path
  std::string sMountOptions;
  std::string sFSType;
  uint64_t nAppType = 0;
  uint64_t nAppId = 0;
  uint64_t nVornCellId = 0;
  bool bForceFull = false;
};
