#pragma once
// The snapshot library's records of one volume's snapshot steps.
//
// SMVolBlock is handed by reference through the pre- and post-snapshot
// steps. The force-full flag is both the caller's request and the bitmap
// steps' answer: they set it when the volume's backup must be full.
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

// The phase a snapshot step runs in.
enum eSnapState { SNAP_STATE_PRE = 0, SNAP_STATE_POST = 1 };
