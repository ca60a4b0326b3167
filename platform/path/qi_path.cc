#include "platform/path/qi_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/sim/fault_table.h"

CQiError CQiPath::IsLink(bool& isLink) const {
  CQiError fault = platform::InjectedFault("CQiPath::IsLink", FXCODELOC);
  if (fault.IsError()) return fault;
  isLink = false;
  // "link/" names the link too; lstat of it would follow the link.
  FXString path = m_sPath;
  while (path.size() > 1 && path.back() == FXPath::kDelimiter) path.RemoveRight(1);
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0)
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "lstat(%s) failed: %s", m_sPath.c_str(), std::strerror(errno));
  isLink = S_ISLNK(info.st_mode);
  return CQiError();
}

CQiPath CQiPath::GetParent() const {
  FXString trimmed = m_sPath;
  while (trimmed.size() > 1 && trimmed.back() == FXPath::kDelimiter) trimmed.RemoveRight(1);
  return CQiPath(FXPath::GetParent(trimmed));
}

CQiPath CQiPath::Append(const CQiPath& base, const std::string& name) {
  return CQiPath(FXPath::Append(base.m_sPath, name));
}

CQiPath CQiPath::AbsPath() const {
  std::string whole = m_sPath;
  if (whole.empty() || whole.front() != FXPath::kDelimiter) {
    std::vector<char> buffer(4096);
    std::string current;
    for (;;) {
      if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
        current = buffer.data();
        break;
      }
      if (errno != ERANGE || buffer.size() >= (1u << 20)) break;
      buffer.resize(buffer.size() * 2);
    }
    if (current.empty()) current = "/";
    whole = current + FXPath::kDelimiter + whole;
  }
  std::vector<std::string> parts;
  for (const FXString& part : FXString::Split(whole, FXPath::kDelimiter)) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string result;
  for (const std::string& part : parts) {
    result += FXPath::kDelimiter;
    result += part;
  }
  if (result.empty()) result = "/";
  return CQiPath(result);
}
