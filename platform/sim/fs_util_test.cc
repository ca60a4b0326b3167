#include "platform/sim/fs_util.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/test_platform.h"

namespace {

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = ::readdir(dir))
    if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") names.push_back(entry->d_name);
  ::closedir(dir);
  return names;
}

}  // namespace

TEST(WriteFileAtomically, ConcurrentWritersOfOneFileLeaveOneWholeVersion) {
  testing_support::ScopedStateDir state;
  const std::string folder = state.Sub("shared");
  ASSERT_TRUE(platform::MakeDirectories(folder));
  const std::string path = folder + "/file";
  const std::string a(256 << 10, 'a');
  const std::string b(300 << 10, 'b');
  std::atomic<bool> failed{false};
  auto writer = [&](const std::string& contents) {
    for (int i = 0; i < 40; ++i)
      if (!platform::WriteFileAtomically(path, contents)) failed = true;
  };
  std::thread first(writer, a);
  std::thread second(writer, b);
  std::string seen;
  for (int i = 0; i < 40; ++i) {
    if (!platform::ReadWholeFile(path, seen)) continue;  // not written yet
    EXPECT_TRUE(seen == a || seen == b) << "a mix of " << seen.size() << " bytes";
  }
  first.join();
  second.join();
  EXPECT_FALSE(failed);
  ASSERT_TRUE(platform::ReadWholeFile(path, seen));
  EXPECT_TRUE(seen == a || seen == b);
  EXPECT_EQ(Entries(folder), std::vector<std::string>{"file"});  // no temporary left behind
}

TEST(MakeDirectories, AFileInTheWayIsNoFolder) {
  testing_support::ScopedStateDir state;
  testing_support::WriteFile(state.Sub("plain"), "x");
  EXPECT_FALSE(platform::MakeDirectories(state.Sub("plain")));
  EXPECT_FALSE(platform::MakeDirectories(state.Sub("plain/below")));
  EXPECT_TRUE(platform::MakeDirectories(state.Sub("a/b/c")));
  EXPECT_TRUE(platform::MakeDirectories(state.Sub("a/b/c")));
}
