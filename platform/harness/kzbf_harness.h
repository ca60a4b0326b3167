#pragma once
// Seeding and inspection of the simulated KZBF driver (blbsim kzbf ...).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/driver/kzbf_backend.h"
#include "platform/harness/script_calls.h"

namespace blbsim {

bool SetKzbfLoaded(bool loaded);
bool IsKzbfLoaded();
// Writes the stand-in driver-load script "unix_drv.sh" into the agent's home
// directory: "unix_drv.sh -a kzbf" loads the simulated driver, or fails when
// asked to (to follow a machine where the driver cannot be loaded). Every run
// is recorded in "unix_drv.sh.calls" beside it.
bool InstallKzbfLoadScript(bool loads = true);
// The script's runs recorded so far, oldest first.
std::vector<ScriptCall> KzbfLoadScriptCalls();

CQiError KzbfAttach(const std::string& device, int extentSize);
CQiError KzbfDetach(const std::string& device);
CQiError KzbfQuery(const std::string& device, platform::KzBfDeviceStatus& status);
CQiError KzbfMarkExtents(const std::string& device, const std::vector<uint64_t>& extents);
// The extents that the next getBitmap would report; clear as getBitmap's flag.
CQiError KzbfChangedExtents(const std::string& device, bool clear, std::vector<uint64_t>& extents);
// The copy's image is recorded before the copy starts, and told to copying.
CQiError KzbfCreateSnapshot(const std::string& device, bool onLoopDevice, std::string& snapshot,
                            const std::function<void(const std::string& image)>& copying = {});
CQiError KzbfDestroySnapshot(const std::string& snapshot);
// The image behind a snapshot; errno 2 when the driver has no such snapshot.
CQiError KzbfSnapshotImage(const std::string& snapshot, std::string& image);

}  // namespace blbsim
