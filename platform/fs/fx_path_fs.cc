// FXPath's file-system questions.
#include <sys/stat.h>

#include <cerrno>

#include "platform/text/fx_string.h"

bool FXPath::DoesPathExist(const std::string& path) {
  struct stat info;
  return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

bool FXPath::IsSamePathAs(const std::string& a, const std::string& b) {
  struct stat first;
  struct stat second;
  if (::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0)
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  FXString left(a);
  FXString right(b);
  if (left.size() > 1) RemoveTrailingDelimiter(left);
  if (right.size() > 1) RemoveTrailingDelimiter(right);
  return left == right;
}

CQiError FXPath::SplitParentPath(const std::string& path, FXString& parent, FXString& name) {
  std::string::size_type slash = path.find_last_of(kDelimiter);
  if (slash == std::string::npos) return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "No parent in %s", path.c_str());
  parent = slash == 0 ? FXString("/") : FXString(path.substr(0, slash));
  name = FXString(path.substr(slash + 1));
  return CQiError();
}
