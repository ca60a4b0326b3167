#include "platform/harness/kzbf_harness.h"

#include <sys/stat.h>

#include "platform/config/kz_client.h"
#include "platform/driver/simulated_kzbf.h"
#include "platform/sim/fs_util.h"
#include "platform/process/shell_quote.h"

namespace blbsim {
namespace {

platform::SimulatedKzBf& Driver() {
  static platform::SimulatedKzBf driver;
  return driver;
}

// The load script's path; empty when the agent has no home directory.
std::string LoadScriptPath() {
  std::optional<std::string> home = KZPI_Base::getHomeDirectory();
  return home ? *home + "/unix_drv.sh" : std::string();
}

}  // namespace

bool SetKzbfLoaded(bool loaded) { return platform::SimulatedKzBf::SetLoaded(loaded); }

bool IsKzbfLoaded() { return platform::SimulatedKzBf::IsLoaded(); }

bool InstallKzbfLoadScript(bool loads) {
  const std::string path = LoadScriptPath();
  if (path.empty() || !platform::MakeDirectories(platform::ParentOf(path))) return false;
  const std::string folder = platform::ShellQuote(platform::SimulatedKzBf::Folder());
  std::string script =
      "#!/bin/sh\n"
      "# Stand-in driver loader: \"unix_drv.sh -a kzbf\" loads the simulated KZBF driver.\n" +
      RecordCallLine(path + ".calls") +
      "[ \"$1\" = \"-a\" ] && [ \"$2\" = \"kzbf\" ] || { echo \"usage: $0 -a kzbf\" >&2; exit 2; }\n";
  script += loads ? "mkdir -p " + folder + " && echo kzbf > " + folder + "/loaded\n"
                  : std::string("echo \"kzbf: module not found\" >&2\nexit 1\n");
  return platform::WriteFileAtomically(path, script, 0755) && ::chmod(path.c_str(), 0755) == 0;
}

std::vector<ScriptCall> KzbfLoadScriptCalls() {
  const std::string path = LoadScriptPath();
  return path.empty() ? std::vector<ScriptCall>() : ReadScriptCalls(path + ".calls");
}

CQiError KzbfAttach(const std::string& device, int extentSize) { return Driver().Attach(device, extentSize); }

CQiError KzbfDetach(const std::string& device) { return Driver().Detach(device); }

CQiError KzbfQuery(const std::string& device, platform::KzBfDeviceStatus& status) {
  return Driver().Query(device, status);
}

CQiError KzbfMarkExtents(const std::string& device, const std::vector<uint64_t>& extents) {
  return platform::SimulatedKzBf::MarkExtents(device, extents);
}

CQiError KzbfChangedExtents(const std::string& device, bool clear, std::vector<uint64_t>& extents) {
  extents.clear();
  std::vector<char> bitmap;
  CQiError result = Driver().GetBitmap(device, bitmap, clear);
  if (result.IsError()) return result;
  for (size_t i = 0; i < bitmap.size() * 8; ++i)
    if ((static_cast<unsigned char>(bitmap[i / 8]) >> (i % 8)) & 1) extents.push_back(i);
  return result;
}

CQiError KzbfCreateSnapshot(const std::string& device, bool onLoopDevice, std::string& snapshot,
                            const std::function<void(const std::string& image)>& copying, const std::string& owner) {
  return platform::SimulatedKzBf::CreateSnapshot(device, onLoopDevice, snapshot, copying, owner);
}

CQiError KzbfDestroySnapshot(const std::string& snapshot) { return Driver().DestroySnap(snapshot); }

CQiError KzbfSnapshotImage(const std::string& snapshot, std::string& image) {
  return platform::SimulatedKzBf::SnapshotImage(snapshot, image);
}

CQiError KzbfSnapshots(std::vector<KzbfSnapshot>& snapshots) {
  return platform::SimulatedKzBf::Snapshots(snapshots);
}

CQiError KzbfDestroySnapshotOf(const std::string& image, const std::string& owner, KzbfDestroyed& destroyed) {
  return platform::SimulatedKzBf::DestroySnapshotOf(image, owner, destroyed);
}

}  // namespace blbsim
