#pragma once
// The options of the scan, backup and run verbs (before "--").
#include <string>

#include "backup_phase.h"
#include "scan_phase.h"
#include "verbs/verb.h"

namespace blbjob {

struct PhaseOptions {
  ScanOptions scan;
  BackupOptions backup;
  bool progress = false;
  bool keepSnapshot = false;
  tools::Args others;  // options none of the above knows, in order
};

// Reads the options it knows (--streams N, --multiple-readers,
// --starvation N, --trueup, --mode 0|1|2, --readahead N, --progress, --keep-snapshot)
// and keeps the others, with the values that follow them, in `others`.
// False, with what is wrong in `why`, for a known option's missing or bad
// value.
bool ReadPhaseOptions(const tools::Args& options, PhaseOptions& read, std::string& why);

// Usage error of a verb that takes only the options above: names the first
// unknown one or the reason. 2.
int PhaseUsageError(const std::string& verb, const PhaseOptions& read, const std::string& why);

}  // namespace blbjob
