#include "support/run_job_script.h"

#include "support/run_command.h"
#include "support/test_platform.h"

namespace testing_support {

std::string RunJobScriptLeftovers(const std::string& output) {
  // "=== job 1001, full: /dev/loopN mounted at WORK/mnt"
  const std::string marker = " mounted at ";
  const size_t at = output.find(marker);
  if (at == std::string::npos) return "no mount point in the output";
  const size_t start = at + marker.size();
  const std::string mountPoint = output.substr(start, output.find('\n', start) - start);
  const std::string work = mountPoint.substr(0, mountPoint.rfind('/'));
  std::string left =
      SettledCommandOutput("{ losetup -a; cat /proc/self/mounts; } | grep -F '" + work + "/' || true", "");
  if (FileExists(work)) left += work + "\n";
  // Freed, so that a failed cleanup holds no later test.
  if (!left.empty())
    RunCommand("fsfreeze -u " + mountPoint + " 2>/dev/null; umount " + mountPoint +
               " 2>/dev/null; losetup -a | grep -F '" + work + "/' | cut -d: -f1 | xargs -r losetup -d; rm -rf " +
               work);
  return left;
}

}  // namespace testing_support
