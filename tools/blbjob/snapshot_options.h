#pragma once
// The snapshot phase's options, read by the snapshot verb and checked by
// run before any phase starts: a word neither knows is run's usage error.
#include <cstdint>
#include <string>
#include <vector>

#include "verbs/verb.h"

namespace blbjob {

constexpr uint64_t kFileSystemAppType = 29;

struct SnapshotOptions {
  std::vector<std::string> paths;
  uint64_t appType = kFileSystemAppType;
  bool checks = false;
  bool noShip = false;
  bool metadata = false;
};

// False, with what is wrong in `wrong`, for an option it does not know, a
// value missing or not a number, or no volume.
bool ReadSnapshotOptions(const tools::Args& options, SnapshotOptions& read, std::string& wrong);

}  // namespace blbjob
