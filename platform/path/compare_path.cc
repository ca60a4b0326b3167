#include "platform/path/compare_path.h"

#include <sys/stat.h>

#include "platform/sim/fault_table.h"

namespace {

bool SameObject(const struct stat& a, const struct stat& b) {
  const bool aDevice = S_ISBLK(a.st_mode) || S_ISCHR(a.st_mode);
  const bool bDevice = S_ISBLK(b.st_mode) || S_ISCHR(b.st_mode);
  if (aDevice || bDevice) return aDevice && bDevice && (a.st_mode & S_IFMT) == (b.st_mode & S_IFMT) &&
                                 a.st_rdev == b.st_rdev;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

int ComparePath::Check(const std::string& first, const std::string& second) {
  int code = 0;
  if (platform::InjectedFaultCode("ComparePath::Check", code)) return code != 0 ? code : -1;
  struct stat a {};
  struct stat b {};
  if (::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0) return SameObject(a, b) ? 0 : 1;
  return first == second ? 0 : 1;
}
