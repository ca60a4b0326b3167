// Every failable call that a facade checks is in the table of names, so
// `blbsim fault set` and FaultTable::Set accept it; a facade that names its
// call in any other way than a literal at the call site is flagged too.
#include "platform/sim/fault_names.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/fs_util.h"

namespace {

void CollectSources(const std::string& dir, std::vector<std::string>& files) {
  DIR* folder = ::opendir(dir.c_str());
  if (folder == nullptr) return;
  while (dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "/" + name;
    if (entry->d_type == DT_DIR)
      CollectSources(path, files);
    else if (std::regex_search(name, std::regex("\\.(cc|h)$")))
      files.push_back(path);
  }
  ::closedir(folder);
}

}  // namespace

TEST(FaultNames, EveryCallSiteNamesARegisteredCall) {
  std::vector<std::string> files;
  for (const char* root : {"/platform", "/src", "/tools"}) CollectSources(std::string(BLB_SOURCE_DIR) + root, files);
  ASSERT_FALSE(files.empty());
  const std::regex call("\\bInjectedFault(Code)?\\s*\\(\\s*([^,)]*)");
  const std::regex literal("^\"([^\"]+)\"$");
  std::set<std::string> seen;
  for (const std::string& file : files) {
    // The table's own definitions take the name as a parameter.
    if (file.find("/platform/sim/fault_table.") != std::string::npos) continue;
    std::string text;
    ASSERT_TRUE(platform::ReadWholeFile(file, text)) << file;
    for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) {
      const std::string argument = (*it)[2];
      std::smatch name;
      if (!std::regex_match(argument, name, literal)) {
        ADD_FAILURE() << file << ": a failable call named by " << argument << " instead of a literal";
        continue;
      }
      seen.insert(name[1]);
      EXPECT_TRUE(platform::IsFailableCall(name[1])) << file << ": " << name[1] << " is missing from fault_names.cc";
    }
  }
  // The scan found the call sites (and does not pass by finding none).
  EXPECT_TRUE(seen.count("KzBfDriver::getBitmap"));
  EXPECT_TRUE(seen.count("ioctl::BLKGETSIZE64"));
  // Names no call site checks would be accepted and inject nothing.
  for (const std::string& name : platform::FailableCalls())
    EXPECT_TRUE(seen.count(name)) << name << " is listed but no facade checks it";
}
