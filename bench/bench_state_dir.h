#pragma once
// A state directory of its own for a benchmark's run, so that failable
// calls never look at a shared one.
#include <stdlib.h>

#include <string>

#include "platform/harness/sim_harness.h"
#include "platform/sim/fs_util.h"
#include "platform/settings/settings.h"

class BenchStateDir {
 public:
  BenchStateDir() {
    char pattern[] = "/tmp/blbbench.XXXXXX";
    path_ = ::mkdtemp(pattern) ? pattern : "/tmp/blbbench.failed";
    platform::Settings::SetStateDir(path_.c_str());
    ok_ = blbsim::InitStateDir();
  }
  ~BenchStateDir() { platform::RemoveTree(path_); }
  bool ok() const { return ok_; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  bool ok_ = false;
};
