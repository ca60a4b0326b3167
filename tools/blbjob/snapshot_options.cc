#include "snapshot_options.h"

namespace blbjob {

bool ReadSnapshotOptions(const tools::Args& options, SnapshotOptions& read, std::string& wrong) {
  for (size_t i = 0; i < options.size(); ++i) {
    const std::string& option = options[i];
    if (option == "--volume") {
      const size_t before = read.paths.size();
      while (i + 1 < options.size() && options[i + 1].rfind("--", 0) != 0) read.paths.push_back(options[++i]);
      if (read.paths.size() == before) wrong = "--volume needs a path";
    } else if (option == "--app-type") {
      unsigned long long type = 0;
      if (i + 1 == options.size())
        wrong = "--app-type needs a number";
      else if (!tools::ReadNumber(options[++i], UINT64_MAX, type))
        wrong = "--app-type: not a number: " + options[i];
      read.appType = type;
    } else if (option == "--checks") {
      read.checks = true;
    } else if (option == "--no-ship") {
      read.noShip = true;
    } else if (option == "--metadata") {
      read.metadata = true;
    } else {
      wrong = "unknown option " + option;
    }
    if (!wrong.empty()) return false;
  }
  if (read.paths.empty()) wrong = "no --volume given";
  return wrong.empty();
}

}  // namespace blbjob
