#pragma once
// A count given on a test tool's command line: decimal digits only, within
// [least, most]; anything else (a sign, trailing text, an overflow) is refused
// rather than read as some other number.
#include <cerrno>
#include <cstdlib>

namespace testing_support {

inline bool ReadCountArgument(const char* text, long least, long most, long& value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  return errno == 0 && *end == '\0' && value >= least && value <= most;
}

}  // namespace testing_support
