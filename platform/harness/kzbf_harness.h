#pragma once
// Seeding and inspection of the simulated KZBF driver (blbsim kzbf ...).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/driver/kzbf_backend.h"
#include "platform/driver/simulated_kzbf.h"
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
// The copy's image is recorded before the copy starts, and told to copying;
// owner is recorded with it, for KzbfDestroySnapshotOf.
CQiError KzbfCreateSnapshot(const std::string& device, bool onLoopDevice, std::string& snapshot,
                            const std::function<void(const std::string& image)>& copying = {},
                            const std::string& owner = std::string());
CQiError KzbfDestroySnapshot(const std::string& snapshot);
// The image behind a snapshot; errno 2 when the driver has no such snapshot.
CQiError KzbfSnapshotImage(const std::string& snapshot, std::string& image);
// Every snapshot the driver records, with its image and owner.
using KzbfSnapshot = platform::SimulatedKzBf::Recorded;
CQiError KzbfSnapshots(std::vector<KzbfSnapshot>& snapshots);
// Destroys the owner's snapshot of that image, telling what it undid
// (errno 2 when the owner holds none).
using KzbfDestroyed = platform::SimulatedKzBf::Destroyed;
CQiError KzbfDestroySnapshotOf(const std::string& image, const std::string& owner, KzbfDestroyed& destroyed);

}  // namespace blbsim
