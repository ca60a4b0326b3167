#pragma once
// What a rerun of the true-up keeps of a volume's index hash file
// ("VolIdxHash.kzf"): the entries before its first line that is not one.
// A power loss in the middle of an append leaves a torn last line or, when
// the write-back reached a later block of the file but not an earlier one,
// a run of NUL bytes before whole lines. Whatever follows such damage was
// appended with it, after the last page the restart file names, and goes
// with it: what is kept is in the order it was fetched, so the pages
// fetched again join it as the comparison's merge join expects.
#include <cstdint>
#include <string>

#include "platform/error/qi_error.h"

namespace scan {

struct IndexHashCut {
  uint64_t bytes = 0;               // cut off the file's end; 0 when it was whole
  bool keptAny = false;             // an entry is left
  unsigned long long lastKept = 0;  // the extent of the last entry left
};

// Reads the file once and cuts it back to its leading entries. A missing
// file is whole. Fails when the file cannot be read or cut.
CQiError CutIndexHashFileAtFirstDamage(const std::string& path, IndexHashCut& cut);

}  // namespace scan
