#pragma once
// ComparePath: whether two device paths name the same device.
//
// Paths that both exist are compared by what they are (the same block or
// character device, or the same file); a path that does not exist (a
// dataset name such as "tank/fs1") can only be compared as text.
//
// Fault: "ComparePath::Check" (returns the fault's code, never 0).
#include <string>

class ComparePath {
 public:
  // 0 when both name the same device, 1 when they do not.
  static int Check(const std::string& first, const std::string& second);
};
