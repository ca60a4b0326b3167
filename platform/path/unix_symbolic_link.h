#pragma once
// UnixSymbolicLink: where a path really lies, every link on the way followed.
//
// Fault: "UnixSymbolicLink::getPhysicalPath" (answers false).
#include <string>
#include <vector>

class UnixSymbolicLink {
 public:
  // The physical path of an existing path (links in any component followed,
  // ".", ".." and repeated delimiters resolved); true when it was found. The
  // links met on the way are not reported: `links` is emptied. The two
  // numbers are the agent's options, unused here.
  static bool getPhysicalPath(const std::string& path, std::string& physical, std::vector<std::string>& links,
                              int options, int reserved);
};
