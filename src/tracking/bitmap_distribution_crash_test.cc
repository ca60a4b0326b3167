// A process killed inside GetAndClearBitmap, after the driver's bitmap was
// cleared and before the driver hook went, must not lose a change.
//
// The killed call runs in a child process: this test program again, told by
// its environment to make the one call and to kill itself (SIGKILL) when a
// given log line is written.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform/harness/kzbf_harness.h"
#include "platform/log/log_backend.h"
#include "platform/process/shell_quote.h"
#include "support/run_command.h"
#include "tracking/handler_test_fixtures.h"

namespace {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::WriteFile;
using tracking_test::kOnes;
using tracking_test::SharedDevice;

constexpr const char* kKillAt = "BLB_CHILD_KILL_AT";

class KillAtLogLine : public platform::LogBackend {
 public:
  explicit KillAtLogLine(std::string marker) : marker_(std::move(marker)), scope_(*this) {}
  int Level() override { return 7; }
  void Write(int, const char*, int, const std::string& text) override {
    if (text.find(marker_) != std::string::npos) ::raise(SIGKILL);
  }

 private:
  std::string marker_;
  platform::Log::Scope scope_;
};

// The child's side: runs before any test when the environment asks for it.
class ChildCall : public testing::Environment {
 public:
  void SetUp() override {
    const char* marker = std::getenv(kKillAt);
    if (marker == nullptr) return;
    KillAtLogLine log(marker);
    SMVolBlock block;
    block.sDevice = std::getenv("BLB_CHILD_DEVICE");
    block.sVolume = "/mnt/shared";
    block.nAppId = std::strtoull(std::getenv("BLB_CHILD_APP"), nullptr, 10);
    block.nVornCellId = 2;
    CBlockLevelBitmapHandler handler;
    if (!handler.Initialize(std::getenv("BLB_CHILD_DCF")).IsError())
      handler.GetAndClearBitmap(5, 2, block, "ID1", std::getenv("BLB_CHILD_DESTINATION"));
    ::_exit(0);  // the line never came
  }
};

testing::Environment* const kChildCall = testing::AddGlobalTestEnvironment(new ChildCall);

std::string ThisProgram() {
  char path[PATH_MAX] = {};
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

// Runs app's GetAndClearBitmap in a child that is killed at the marker; true
// when it was.
bool KilledCall(SharedDevice& shared, uint64_t app, const std::string& marker) {
  const std::string command = std::string(kKillAt) + "=" + platform::ShellQuote(marker) +
                              " BLB_CHILD_DEVICE=" + platform::ShellQuote(shared.device.Path()) +
                              " BLB_CHILD_APP=" + std::to_string(app) + " BLB_CHILD_DCF=" +
                              platform::ShellQuote(shared.dcf) + " BLB_CHILD_DESTINATION=" +
                              platform::ShellQuote(shared.NextDestination()) + " " +
                              platform::ShellQuote(ThisProgram()) +
                              " --gtest_filter='BitmapDistributionCrash.*' >/dev/null 2>&1";
  return testing_support::RunCommand(command) != 0;
}

enum class FailOver { kNone, kDirtyMark, kLeftBehind };

struct Case {
  const char* killAt;  // the log line the child dies at
  FailOver failOver;   // what the fail-over merge consumes before
  uint64_t nextApp;    // whose call comes first after the kill
};

TEST(BitmapDistributionCrash, AKilledDistributionLeavesTheDriverHookAndTheNextCallGoesFull) {
  const Case cases[] = {
      {"Processing device=", FailOver::kDirtyMark, 8},          // before any cache changed
      {"Saving bitmap to uXA's", FailOver::kLeftBehind, 7},     // the own cache updated
      {"clientId=5, appId=8", FailOver::kNone, 7},              // the own cache already zeroed
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.killAt);
    SharedDevice shared;
    shared.RegisterSevenAndEight();
    const std::string listFolder = shared.state.Sub("jobresults/.BlockLevel");
    if (c.failOver == FailOver::kDirtyMark) WriteFile(listFolder + "/.AttachedVolumes", "/mnt/shared|4194304|2|1\n");
    if (c.failOver == FailOver::kLeftBehind) {
      WriteFile(listFolder + "/.AttachedVolumes", "/mnt/shared|4194304|2|0\n");
      WriteFile(listFolder + "/ID1.bmp", std::string("\x10\x00", 2));
    }
    shared.device.Write(4 << 20);  // extent 1

    ASSERT_TRUE(KilledCall(shared, 7, c.killAt));
    // The driver has let go of the bits, the fail-over state is consumed,
    // and only the hook tells.
    std::vector<uint64_t> pending;
    ASSERT_FALSE(blbsim::KzbfChangedExtents(shared.device.Path(), false, pending).IsError());
    EXPECT_TRUE(pending.empty());
    EXPECT_TRUE(FileExists(shared.dcf + "/ID1.hook"));
    if (c.failOver == FailOver::kDirtyMark) {
      EXPECT_EQ(ReadFile(listFolder + "/.AttachedVolumes"), "/mnt/shared|4194304|2|0\n");
    }
    EXPECT_FALSE(FileExists(listFolder + "/ID1.bmp"));

    SharedDevice::Result next = shared.GetAndClear(c.nextApp);
    ASSERT_FALSE(next.error.IsError()) << next.error.AsString();
    EXPECT_TRUE(next.forceFull);
    EXPECT_EQ(next.written, kOnes);
    SharedDevice::Result other = shared.GetAndClear(c.nextApp == 7 ? 8 : 7);
    ASSERT_FALSE(other.error.IsError());
    ASSERT_EQ(other.written.size(), 2u);
    EXPECT_NE(other.written[0] & 0x12, 0);
    EXPECT_TRUE(shared.Hooks().empty());
  }
}

}  // namespace
