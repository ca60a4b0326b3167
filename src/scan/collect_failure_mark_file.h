#pragma once
// The collect-failure mark's file, "<component id>.FullAfterCollectFailure"
// in the job-results directory: the volume's path on its first line, then
// the key of each job whose scan listed the volume whole since, one a line,
// the latest 32 at most, each line ending in a line feed. No line holds more
// than 4096 bytes before it.
//
// Anything else at the mark's path (an empty file, a folder, a line or a
// count over those limits, a file that cannot be read) is no mark this code
// wrote: the reader refuses it without reading more than a line's limit
// past what it keeps, whatever its size.
#include <string>
#include <vector>

#include "platform/error/qi_error.h"

namespace scan {

struct CollectFailureMark {
  static constexpr size_t kKeysKept = 32;
  static constexpr size_t kLongestLine = 4096;

  std::string volume;
  std::vector<std::string> keys;  // oldest first

  bool Holds(const std::string& key) const;
  // Adds the key unless the mark holds it, the oldest going past the limit;
  // whether the mark changed.
  bool Add(const std::string& key);
};

enum class MarkFound { kNone, kMark, kRefused };

// What is at the path: nothing, a mark (then read into `mark`), or a file or
// folder the reader refuses.
MarkFound ReadCollectFailureMark(const std::string& path, CollectFailureMark& mark);

// Puts the mark at the path through a synced temporary, its folder synced:
// a crash leaves what was there or the mark. A folder at the path is
// exchanged for the mark in one step and then removed when it is empty.
CQiError WriteCollectFailureMark(const std::string& path, const CollectFailureMark& mark);

}  // namespace scan
