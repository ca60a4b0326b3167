#include "platform/text/fx_string.h"

#include <strings.h>

#include <algorithm>
#include <boost/algorithm/string/find.hpp>
#include <cstdarg>
#include <utility>

#include "platform/base/compat.h"
#include "platform/text/format.h"

FXString FXString::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FXString text(platform::VFormat(format, args));
  va_end(args);
  return text;
}

int FXString::CompareNoCase(const char* a, const char* b) { return ::strcasecmp(a ? a : "", b ? b : ""); }

bool FXString::MatchRight(const std::string& text, const std::string& end) {
  if (end.size() > text.size()) return false;
  return text.compare(text.size() - end.size(), end.size(), end) == 0;
}

FXString::size_type FXString::FindNoCase(const std::string& what, size_type from) const {
  if (from > size()) return npos;
  auto haystack = boost::make_iterator_range(begin() + static_cast<difference_type>(from), end());
  auto found = boost::algorithm::ifind_first(haystack, what);
  if (found.empty()) return what.empty() ? from : npos;
  return static_cast<size_type>(found.begin() - begin());
}

FXString& FXString::Trim(const char* characters) {
  size_type first = find_first_not_of(characters);
  if (first == npos) {
    clear();
    return *this;
  }
  size_type last = find_last_not_of(characters);
  assign(substr(first, last - first + 1));
  return *this;
}

FXString& FXString::TrimLeft(const char* characters) {
  erase(0, std::min(size(), find_first_not_of(characters)));
  return *this;
}

FXString& FXString::TrimRight(const char* characters) {
  size_type last = find_last_not_of(characters);
  resize(last == npos ? 0 : last + 1);
  return *this;
}

FXString& FXString::RemoveRight(size_t count) {
  resize(count >= size() ? 0 : size() - count);
  return *this;
}

std::vector<FXString> FXString::Split(const std::string& text, char separator) {
  std::vector<FXString> fields;
  size_type start = 0;
  for (;;) {
    size_type found = text.find(separator, start);
    if (found == npos) {
      fields.emplace_back(text.substr(start));
      return fields;
    }
    fields.emplace_back(text.substr(start, found - start));
    start = found + 1;
  }
}

std::vector<FXString> FXString::Split(char separator) const { return Split(*this, separator); }

FXString FXPath::Append(const std::string& base, const std::string& name) {
  if (base.empty()) return FXString(name);
  if (name.empty()) return FXString(base);
  const bool baseEnds = base.back() == kDelimiter;
  const bool nameStarts = name.front() == kDelimiter;
  if (baseEnds && nameStarts) return FXString(base + name.substr(1));
  if (baseEnds || nameStarts) return FXString(base + name);
  return FXString(base + kDelimiter + name);
}

bool FXPath::RemoveTrailingDelimiter(FXString& path) {
  if (!path.empty() && path.back() == kDelimiter) path.RemoveRight(1);
  return true;
}

bool FXPath::AppendTrailingDelimiter(FXString& path) {
  if (path.empty() || path.back() != kDelimiter) path += kDelimiter;
  return true;
}

FXString FXPath::GetParent(const std::string& path) {
  std::string::size_type slash = path.find_last_of(kDelimiter);
  if (slash == std::string::npos) return FXString();
  if (slash == 0) return FXString("/");
  return FXString(path.substr(0, slash));
}

FXString FXPath::GetFileName(const std::string& path) {
  std::string::size_type slash = path.find_last_of(kDelimiter);
  return FXString(slash == std::string::npos ? path : path.substr(slash + 1));
}

bool CQiString::operator!=(const CQiString& other) const { return Safe_strcmp(c_str(), other.c_str()) != 0; }

std::string& trim_both(std::string& text) {
  FXString trimmed(std::move(text));
  trimmed.Trim(" \t\r\n");
  text = std::move(trimmed);
  return text;
}
