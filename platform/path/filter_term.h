#pragma once
// CFilterTerm: one file pattern of a filter list. "*" stands for any run of
// characters within one path element, "?" for one character but "/", "**"
// (or more stars) for any run, "/" included; every other character stands
// for itself, case kept. A pattern holding "/" is matched against the whole
// path, any other against the path's base name ("*.tmp" skips "/a/b.tmp",
// "**/Failures.kzf" skips a "Failures.kzf" in any folder).
#include <string>
#include <vector>

#include "platform/error/qi_error.h"

class CFilterTerm {
 public:
  // Takes the pattern as it is (no trimming); an empty pattern is refused
  // with 22 (fault "CFilterTerm::LoadRaw"). A term whose pattern was refused
  // matches nothing.
  CQiError LoadRaw(const std::string& pattern);
  bool Matches(const std::string& path) const;

 private:
  enum class Kind : char { kLiteral, kOneCharacter, kWithinElement, kAcrossElements };
  struct Token {
    Kind kind;
    char literal;
  };

  std::vector<Token> m_vecTokens;
  bool m_bWholePath = false;
  bool m_bLoaded = false;
};
