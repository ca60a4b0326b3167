#include "tracking/configured_extent_size.h"

#include <gtest/gtest.h>

#include "platform/harness/sim_harness.h"
#include "support/test_platform.h"

namespace {

TEST(ConfiguredExtentSize, MiBThatNoDriverCanTakeFallBackToTheDefault) {
  testing_support::ScopedStateDir state;
  EXPECT_EQ(tracking::ConfiguredExtentSize(), 4194304u);
  const struct {
    const char* setting;
    uint64_t bytes;
    bool error;
  } cases[] = {{"0", 4194304, false},       {"1", 1048576, false},
               {"2047", 2047ULL << 20, false}, {"2048", 4194304, true},
               {"4096", 4194304, true},     {"4294967304", 4194304, true}};  // 2^32 + 8 is not 8
  for (const auto& c : cases) {
    ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nExtentSizeForBlockFilterDriver", c.setting));
    testing_support::CapturingLog log;
    EXPECT_EQ(tracking::ConfiguredExtentSize(), c.bytes) << c.setting;
    EXPECT_EQ(log.Contains("nExtentSizeForBlockFilterDriver=" + std::string(c.setting) + " MiB is larger"), c.error)
        << c.setting;
  }
}

}  // namespace
