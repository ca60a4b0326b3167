// The two sides of the machine-wide locks that a cluster start meets, each in
// a process of its own, as the agent runs them:
//
//   cluster_tool start|stop
//   cluster_tool getandclear DEVICE MOUNT DEVICEID DESTINATION
//
// getandclear takes and clears the device's driver bitmap for client 5's
// subclient 7 of cell 2 (2-byte bitmaps), as an incremental backup's
// pre-snapshot step does, and prints "forcefull=0" or "forcefull=1". Exits 0
// on success, 1 with the error printed.
//
// With CLUSTER_TOOL_UNREADABLE_SETTING=SECTION/KEY in the environment, the
// registry cannot be read for that value, as a failing state directory's
// could not be: the other values read as they are.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "blocklevel/blocklevel.h"
#include "platform/registry/registry_backend.h"
#include "platform/snapshot/sm_vol_block.h"
#include "support/unreadable_setting.h"
#include "tracking/block_level_bitmap_handler.h"
#include "tracking/driver_cache_folder.h"

namespace {

CQiError GetAndClear(char** argv) {
  SMVolBlock block;
  block.sDevice = argv[2];
  block.sVolume = argv[3];
  block.nAppId = 7;
  block.nVornCellId = 2;
  std::string folder;
  KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(folder);
  CBlockLevelBitmapHandler handler;
  CQiError err = handler.Initialize(folder);
  if (!err.IsError()) err = handler.GetAndClearBitmap(5, 2, block, argv[4], argv[5]);
  // A result that does not reach the caller is no success.
  if (!err.IsError() && (std::printf("forcefull=%d\n", block.bForceFull ? 1 : 0) < 0 || std::fflush(stdout) != 0))
    err = FXErrorUtil::ErrorErrNo(FXCODELOC, EIO, "Failed to report the result");
  return err;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string verb = argc > 1 ? argv[1] : "";
  std::optional<testing_support::UnreadableSetting> unreadable;
  std::optional<platform::Registry::Scope> useUnreadable;
  if (const char* setting = std::getenv("CLUSTER_TOOL_UNREADABLE_SETTING")) {
    unreadable.emplace(setting);
    useUnreadable.emplace(*unreadable);
  }
  CQiError result;
  if (argc == 2 && (verb == "start" || verb == "stop")) {
    result = BlockLevelClusterHandler(verb == "start" ? 1 : 0);
  } else if (argc == 6 && verb == "getandclear") {
    result = GetAndClear(argv);
  } else {
    std::fprintf(stderr, "usage: cluster_tool start|stop | getandclear DEVICE MOUNT DEVICEID DESTINATION\n");
    return 2;
  }
  if (!result.IsError()) return 0;
  std::printf("%s\n", result.AsString().c_str());
  return 1;
}
