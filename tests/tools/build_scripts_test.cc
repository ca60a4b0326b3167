// The scripts that build (scripts/test.sh, scripts/run-job.sh) run as many
// compilers and tests at once as CMAKE_BUILD_PARALLEL_LEVEL says, on a
// shared machine too. Each runs as a copy in a tree of its own, with cmake
// and ctest stand-ins on the PATH that record how they were called.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/run_command.h"
#include "support/test_platform.h"

namespace {

using testing_support::CommandOutput;
using testing_support::RunCommand;

std::string ScriptsFolder() {
  const std::string script = RUN_JOB_SCRIPT;
  return script.substr(0, script.rfind('/'));
}

// A tree holding the script, what it sources, and a package installer that
// installs nothing; a cmake that makes the build folder and fails the build
// of the two programs (where run-job.sh goes on to run them); a ctest.
void MakeTree(const std::string& root, const std::string& script) {
  const std::string bin = root + "/bin", log = root + "/calls";
  const std::string scripts = ScriptsFolder();
  ASSERT_EQ(RunCommand("mkdir -p " + root + "/scripts " + bin + " && cp " + scripts + "/" + script + " " + scripts +
                       "/build-jobs.sh " + root + "/scripts/"),
            0);
  testing_support::WriteFile(root + "/scripts/install-deps.sh", "#!/bin/sh\n");
  testing_support::WriteFile(bin + "/cmake",
                             "#!/bin/bash\ncall=\"cmake $*\"\necho \"$call\" >> " + log +
                                 "\nwhile [ $# -gt 0 ]; do [ \"$1\" = -B ] && mkdir -p \"$2\"; shift; done\n"
                                 "[[ \"$call \" != *' --target '* ]]\n");
  testing_support::WriteFile(bin + "/ctest", "#!/bin/sh\necho \"ctest $*\" >> " + log + "\n");
  ASSERT_EQ(RunCommand("chmod +x " + root + "/scripts/* " + bin + "/*"), 0);
}

// The value of every "-j" the builds and test runs were called with.
std::vector<std::string> ParallelLevels(const std::string& calls) {
  std::vector<std::string> levels;
  std::istringstream words(calls);
  for (std::string word; words >> word;)
    if (word == "-j" && words >> word) levels.push_back(word);
  return levels;
}

// Runs the script of the tree with CMAKE_BUILD_PARALLEL_LEVEL set as asked
// (empty: as if unset), as it runs when it builds.
int RunScript(const std::string& root, const std::string& script, const std::string& asked, std::string& output) {
  return RunCommand("env -u BLBSIM -u BLBJOB CMAKE_BUILD_PARALLEL_LEVEL=" + asked + " PATH=" + root + "/bin:$PATH " +
                        root + "/scripts/" + script + " 2>&1",
                    &output);
}

}  // namespace

TEST(BuildScripts, BuildAndTestWithTheParallelLevelAskedForAndRefuseOneThatIsNoNumber) {
  testing_support::ScopedStateDir scratch;
  const std::string processors = CommandOutput("nproc").substr(0, CommandOutput("nproc").find('\n'));
  struct Script {
    const char* name;
    size_t parallelCalls;  // builds and test runs
    int status;            // with a number: run-job.sh stops at its failed build
  };
  int tree = 0;
  for (const Script& script : {Script{"test.sh", 4, 0}, Script{"run-job.sh", 1, 1}}) {
    for (const auto& [asked, used] : {std::pair<std::string, std::string>{"3", "3"}, {"", processors}}) {
      const std::string root = scratch.Sub(std::to_string(++tree));
      MakeTree(root, script.name);
      std::string out;
      EXPECT_EQ(RunScript(root, script.name, asked, out), script.status) << out;
      const std::string calls = testing_support::ReadFile(root + "/calls");
      EXPECT_EQ(ParallelLevels(calls), std::vector<std::string>(script.parallelCalls, used))
          << script.name << " asked " << asked << "\n"
          << calls;
    }
    for (const char* asked : {"0", "four", "2x"}) {
      const std::string root = scratch.Sub(std::to_string(++tree));
      MakeTree(root, script.name);
      std::string out;
      EXPECT_EQ(RunScript(root, script.name, asked, out), 1) << out;
      EXPECT_EQ(out, std::string(script.name) + ": CMAKE_BUILD_PARALLEL_LEVEL=" + asked +
                         " is not a whole number of jobs from 1\n");
      EXPECT_FALSE(testing_support::FileExists(root + "/calls")) << script.name << " asked " << asked;
    }
  }
}
