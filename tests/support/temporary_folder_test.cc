// The fixtures make their folders, images and mount points under TMPDIR.
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/loop_device.h"
#include "support/run_command.h"
#include "support/scoped_mount.h"
#include "support/test_platform.h"

namespace {

// TMPDIR set to a folder of its own for the scope, then as it was.
class ScopedTmpdir {
 public:
  ScopedTmpdir() : folder_(testing_support::MakeTemporaryFolder("blbtmpdir")) {
    const char* saved = std::getenv("TMPDIR");
    if (saved != nullptr) saved_ = saved;
    had_ = saved != nullptr;
    ::setenv("TMPDIR", folder_.c_str(), 1);
  }
  ~ScopedTmpdir() {
    if (had_)
      ::setenv("TMPDIR", saved_.c_str(), 1);
    else
      ::unsetenv("TMPDIR");
    ::rmdir(folder_.c_str());
  }
  const std::string& Folder() const { return folder_; }

 private:
  std::string folder_;
  std::string saved_;
  bool had_ = false;
};

bool Under(const std::string& path, const std::string& folder) {
  return path.rfind(folder + "/", 0) == 0;
}

}  // namespace

TEST(TemporaryFolder, TheFixturesMakeTheirFoldersUnderTmpdirAndLeaveNothingThere) {
  ScopedTmpdir tmpdir;
  ASSERT_FALSE(tmpdir.Folder().empty());
  {
    testing_support::ScopedStateDir state;
    EXPECT_TRUE(Under(state.Path(), tmpdir.Folder())) << state.Path();
    testing_support::ScopedLoopDevice loop(1 << 20);
    BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
    EXPECT_TRUE(Under(loop.Image(), tmpdir.Folder())) << loop.Image();
    testing_support::ScopedMount mount("tmpfs", "tmpfs", "size=1m");
    BLB_SKIP_WITHOUT_MOUNT(mount);
    EXPECT_TRUE(Under(mount.Path(), tmpdir.Folder())) << mount.Path();
  }
  EXPECT_EQ(testing_support::CommandOutput("ls -A " + tmpdir.Folder()), "");
}
