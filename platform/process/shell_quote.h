#pragma once
// A text as one word of a "/bin/sh -c" command line, whatever it holds: in
// single quotes, each quote inside written as '\''.
#include <string>

namespace platform {

inline std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}

}  // namespace platform
