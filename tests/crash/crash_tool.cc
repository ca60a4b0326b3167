// Single library operations whose files later jobs depend on, each as a
// process of its own, so that a test can kill it or fail its system calls:
//
//   crash_tool oracle-type CELL APP VOLUME      records the volume as DATA
//   crash_tool reset-cache CLIENT APP DEVICE DEVICEID SIZE
//                                               a subclient cache made all ones
//   crash_tool reset-full DIR                   ResetBitmapsForFull
//
// Exits 0 on success, 1 with the error printed.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "blocklevel/blocklevel.h"
#include "devconfig/oracle_volume_type.h"
#include "tracking/subclient_cache.h"

namespace {

long long Number(const std::string& text) {
  return std::strtoll(text.c_str(), nullptr, 10);
}

CQiError ResetCache(const std::vector<std::string>& args) {
  const VolumeConfig record(2, Number(args[1]), Number(args[2]), args[3], args[4], 0, 0, 0, 0, "");
  CSubclientCache cache;
  CQiError err = cache.Initialize(static_cast<uint64_t>(Number(args[5])), record);
  if (!err.IsError()) err = cache.ResetBitmap(-1);
  return err;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const std::string verb = args.empty() ? "" : args[0];
  CQiError result;
  if (verb == "oracle-type" && args.size() == 4) {
    result = devconfig::WriteOracleVolumeType(true, 22, static_cast<int>(Number(args[2])),
                                              static_cast<int>(Number(args[1])), args[3], false);
  } else if (verb == "reset-cache" && args.size() == 6) {
    result = ResetCache(args);
  } else if (verb == "reset-full" && args.size() == 2) {
    result = ResetBitmapsForFull(args[1]);
  } else {
    std::fprintf(stderr,
                 "usage: crash_tool oracle-type CELL APP VOLUME | reset-cache CLIENT APP DEVICE DEVICEID SIZE | "
                 "reset-full DIR\n");
    return 2;
  }
  if (!result.IsError()) return 0;
  std::printf("error: %s\n", result.AsString().c_str());
  return 1;
}
