#pragma once
// What stands at a path of the state directory where the job command keeps a
// file or a folder of its own, and is not that (a folder where a file
// belongs, a file where a folder does, a link, a pipe), would refuse every
// job until removed by hand. It is set aside instead, trading places with
// what belongs there in one step (renameat2), so that the path names one or
// the other at every moment. What was set aside is removed when it holds
// nothing (an empty file or folder, a link, a pipe), kept beside the path
// under a temporary name (and named on stderr) when it does.
#include <sys/stat.h>

#include <string>

namespace blbjob {

// Puts an empty file where something else (found by lstat) stands at the
// path. False, told on stderr, when it cannot.
bool SetAsideForFile(const char* verb, const std::string& path, const struct stat& found);

// Puts an empty folder where something that does not lead to a folder stands
// at the path. False, told on stderr, when it cannot.
bool SetAsideForFolder(const char* verb, const std::string& path);

}  // namespace blbjob
