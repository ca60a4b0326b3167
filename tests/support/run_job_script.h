#pragma once
// What scripts/run-job.sh made for itself and must remove, found by the work
// folder its output names: tests run beside other runs of the script, so
// they look only at their own run's.
#include <string>

namespace testing_support {

// The lines of `losetup -a` and the mount table that name the work folder of
// the run whose output is given (a run on an image of its own), and the
// folder itself while it exists; empty when the run left nothing. What it
// finds, it frees.
std::string RunJobScriptLeftovers(const std::string& output);

}  // namespace testing_support
