#pragma once
// CQiPath: a file-system path with the framework's link test and lexical
// path operations. Nothing here resolves links except IsLink, which only
// looks at the path itself.
#include <string>

#include "platform/error/qi_error.h"
#include "platform/text/fx_string.h"

class CQiPath {
 public:
  CQiPath() = default;
  CQiPath(const char* path) : m_sPath(path) {}          // NOLINT(google-explicit-constructor)
  CQiPath(const std::string& path) : m_sPath(path) {}   // NOLINT(google-explicit-constructor)

  const FXString& GetPath() const { return m_sPath; }
  const char* c_str() const { return m_sPath.c_str(); }
  bool IsEmpty() const { return m_sPath.empty(); }

  // Whether the path itself is a symbolic link (the link is not followed;
  // trailing delimiters are ignored, so "link/" is the link).
  // A path that does not exist fails with errno 2; other lstat failures
  // carry their errno.
  CQiError IsLink(bool& isLink) const;

  // The folder that holds the path ("/" for "/x", "" for a bare name);
  // trailing delimiters are ignored.
  CQiPath GetParent() const;

  // The two parts joined with exactly one delimiter.
  static CQiPath Append(const CQiPath& base, const std::string& name);

  // The absolute form, worked out from the text alone: a relative path is
  // taken from the current directory; ".", ".." and repeated delimiters are
  // resolved; links are not followed. ".." at the root stays at the root.
  CQiPath AbsPath() const;

  bool operator==(const CQiPath& other) const { return m_sPath == other.m_sPath; }
  bool operator!=(const CQiPath& other) const { return m_sPath != other.m_sPath; }

 private:
  FXString m_sPath;
};
