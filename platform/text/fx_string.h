#pragma once
// The framework's text type and path helpers.
//
// FXString is a std::string with the framework's operations. Split with no
// flags splits at every separator and keeps empty fields; callers count
// fields on that basis.
#include <string>
#include <vector>

#include "platform/error/qi_error.h"

class FXString : public std::string {
 public:
  FXString() = default;
  FXString(const char* text) : std::string(text ? text : "") {}  // NOLINT(google-explicit-constructor)
  FXString(const std::string& text) : std::string(text) {}       // NOLINT(google-explicit-constructor)
  FXString(std::string&& text) : std::string(std::move(text)) {}  // NOLINT(google-explicit-constructor)
  FXString(const char* text, size_t length) : std::string(text, length) {}

  static FXString Format(const char* format, ...) KZ_PRINTF_FORMAT(1, 2);

  static int CompareNoCase(const char* a, const char* b);
  int CompareNoCase(const char* other) const { return CompareNoCase(c_str(), other); }
  static bool MatchRight(const std::string& text, const std::string& end);
  bool MatchRight(const std::string& end) const { return MatchRight(*this, end); }
  bool MatchLeft(const std::string& start) const { return compare(0, start.size(), start) == 0; }
  // Case-insensitive search; npos when absent.
  size_type FindNoCase(const std::string& what, size_type from = 0) const;

  // Removes the given characters from both ends.
  FXString& Trim(const char* characters);
  FXString& TrimWhiteSpace() { return Trim(" \t"); }
  // Removes the given characters from one end only.
  FXString& TrimLeft(const char* characters);
  FXString& TrimRight(const char* characters);
  // Removes count characters from the end (all when fewer).
  FXString& RemoveRight(size_t count);

  std::vector<FXString> Split(char separator) const;
  static std::vector<FXString> Split(const std::string& text, char separator);
};

// The platform's trim of blanks, tabs and line ends at both ends, in place.
std::string& trim_both(std::string& text);

class FXPath {
 public:
  static constexpr char kDelimiter = '/';
  // Joins with exactly one delimiter between the two parts.
  static FXString Append(const std::string& base, const std::string& name);
  static void Append(FXString& path, const std::string& name) { path = Append(static_cast<const std::string&>(path), name); }
  static bool RemoveTrailingDelimiter(FXString& path);
  static bool AppendTrailingDelimiter(FXString& path);
  // The folder of a path ("" for a bare name, "/" for "/x").
  static FXString GetParent(const std::string& path);
  static FXString GetFileName(const std::string& path);

  // File-system questions (platform/fs).
  static bool DoesPathExist(const std::string& path);
  // Whether both name the same file or folder (the same inode when both
  // exist, else the same text once trailing delimiters are removed).
  static bool IsSamePathAs(const std::string& a, const std::string& b);
  // Splits at the last delimiter; fails with 22 when the path holds none.
  static CQiError SplitParentPath(const std::string& path, FXString& parent, FXString& name);
  // The mount point of the volume that holds the path (the longest mount
  // point of KzMntTab that holds it, whole components only), ending in "/";
  // empty, with errno 2, when no mount point holds it (platform/path).
  // Fault: "FXPath::KZGetVolumeNameForVolumeMountPoint".
  static CQiError KZGetVolumeNameForVolumeMountPoint(const std::string& path, FXString& volume);
};

// A text that may hold nothing; c_str gives "" then.
class CQiString {
 public:
  CQiString() = default;
  CQiString(const char* text) : m_bHeld(text != nullptr), m_sText(text ? text : "") {}  // NOLINT
  CQiString(const std::string& text) : m_bHeld(true), m_sText(text) {}                 // NOLINT
  const char* c_str() const { return m_bHeld ? m_sText.c_str() : ""; }
  operator const char*() const { return c_str(); }  // NOLINT(google-explicit-constructor)
  bool operator!=(const CQiString& other) const;
  bool operator==(const CQiString& other) const { return !(*this != other); }
  bool IsEmpty() const { return !m_bHeld || m_sText.empty(); }

 private:
  bool m_bHeld = false;
  std::string m_sText;
};

// A text concatenated with a zero-terminated text.
inline FXString operator+(const FXString& text, const char* tail) {
  FXString joined(text);
  joined.append(tail ? tail : "");
  return joined;
}
