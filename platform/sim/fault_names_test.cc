// Every failable call that a facade checks is in the table of names, so
// `blbsim fault set` and FaultTable::Set accept it; a facade that names its
// call in any other way than a literal at the call site is flagged too.
#include "platform/sim/fault_names.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/fs_util.h"
#include "platform/text/fx_string.h"

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
    else if (FXString::MatchRight(name, ".cc") || FXString::MatchRight(name, ".h"))
      files.push_back(path);
  }
  ::closedir(folder);
}

}  // namespace

TEST(FaultNames, EveryCallSiteNamesARegisteredCall) {
  std::vector<std::string> files;
  for (const char* root : {"/platform", "/src", "/tools"}) CollectSources(std::string(BLB_SOURCE_DIR) + root, files);
  ASSERT_FALSE(files.empty());
  std::set<std::string> seen;
  for (const std::string& file : files) {
    // The table's own definitions take the name as a parameter; tests only
    // exercise the call sites.
    if (file.find("/platform/sim/fault_table.") != std::string::npos || FXString::MatchRight(file, "_test.cc"))
      continue;
    std::string text;
    ASSERT_TRUE(platform::ReadWholeFile(file, text)) << file;
    // Each "InjectedFault(" or "InjectedFaultCode(" and its first argument.
    for (size_t at = text.find("InjectedFault"); at != std::string::npos; at = text.find("InjectedFault", at + 1)) {
      size_t open = at + std::strlen("InjectedFault");
      if (text.compare(open, 4, "Code") == 0) open += 4;
      if (open >= text.size() || text[open] != '(') continue;  // a mention, not a call
      const size_t end = text.find_first_of(",)", open);
      FXString argument(text.substr(open + 1, end - open - 1));
      argument.Trim(" \t\n");
      if (argument.size() < 2 || argument.front() != '"' || argument.back() != '"') {
        ADD_FAILURE() << file << ": a failable call named by " << argument << " instead of a literal";
        continue;
      }
      const std::string name = argument.substr(1, argument.size() - 2);
      seen.insert(name);
      EXPECT_TRUE(platform::IsFailableCall(name)) << file << ": " << name << " is missing from fault_names.cc";
    }
  }
  // The scan found the call sites (and does not pass by finding none).
  EXPECT_TRUE(seen.count("KzBfDriver::getBitmap"));
  EXPECT_TRUE(seen.count("ioctl::BLKGETSIZE64"));
  // Names no call site checks would be accepted and inject nothing.
  for (const std::string& name : platform::FailableCalls())
    EXPECT_TRUE(seen.count(name)) << name << " is listed but no facade checks it";
}
