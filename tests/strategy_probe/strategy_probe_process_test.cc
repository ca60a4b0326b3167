// The KZBF driver probe across processes: the load command runs at most once
// in a process, however many threads ask at once, and its outcome holds.
#include <gtest/gtest.h>

#include <string>

#include "platform/harness/kzbf_harness.h"
#include "support/run_command.h"
#include "support/scratch_device.h"
#include "support/test_platform.h"

namespace {

std::string Probe(const std::string& device, int threads, int probes) {
  std::string output;
  const int status = testing_support::RunCommand(std::string(STRATEGY_PROBE_TOOL) + " " + device + " " +
                                                     std::to_string(threads) + " " + std::to_string(probes),
                                                 &output);
  EXPECT_EQ(status, 0) << output;
  return output;
}

TEST(StrategyProbe, TheDriverLoadRunsOncePerProcessAndEveryThreadGetsItsOutcome) {
  testing_support::ScopedStateDir state;
  testing_support::ScratchDevice device(state);
  ASSERT_TRUE(blbsim::SetKzbfLoaded(false));
  ASSERT_TRUE(blbsim::InstallKzbfLoadScript(false));

  // A load that fails leaves the device unsupported for the process.
  EXPECT_EQ(Probe(device.Path(), 1, 3), "3 3 3\ninstance=empty handler=null\n");
  std::vector<blbsim::ScriptCall> calls = blbsim::KzbfLoadScriptCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].commandLine, state.Sub("install/Base/unix_drv.sh") + " -a kzbf");
  EXPECT_EQ(Probe(device.Path(), 4, 2), "3 3 3 3 3 3 3 3\ninstance=empty handler=null\n");
  EXPECT_EQ(blbsim::KzbfLoadScriptCalls().size(), 2u);

  // A load that works serves every thread; a loaded driver needs none.
  ASSERT_TRUE(blbsim::InstallKzbfLoadScript(true));
  EXPECT_EQ(Probe(device.Path(), 4, 1), "1 1 1 1\ninstance=set handler=set\n");
  EXPECT_EQ(blbsim::KzbfLoadScriptCalls().size(), 3u);
  EXPECT_TRUE(blbsim::IsKzbfLoaded());
  EXPECT_EQ(Probe(device.Path(), 2, 1), "1 1\ninstance=set handler=set\n");
  EXPECT_EQ(blbsim::KzbfLoadScriptCalls().size(), 3u);
}

}  // namespace
