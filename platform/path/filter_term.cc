#include "platform/path/filter_term.h"

#include <algorithm>

#include "platform/sim/fault_table.h"

namespace {

constexpr int kErrorInvalidPattern = 22;

}  // namespace

CQiError CFilterTerm::LoadRaw(const std::string& pattern) {
  m_vecTokens.clear();
  m_bLoaded = false;
  CQiError err = platform::InjectedFault("CFilterTerm::LoadRaw", FXCODELOC);
  if (err.IsError()) return err;
  if (pattern.empty()) return FXErrorUtil::ErrorErrNo(FXCODELOC, kErrorInvalidPattern, "Empty filter pattern");
  for (size_t at = 0; at < pattern.size(); ++at) {
    const char c = pattern[at];
    if (c == '?') {
      m_vecTokens.push_back({Kind::kOneCharacter, 0});
    } else if (c == '*') {
      const size_t run = pattern.find_first_not_of('*', at);
      const size_t stars = (run == std::string::npos ? pattern.size() : run) - at;
      m_vecTokens.push_back({stars == 1 ? Kind::kWithinElement : Kind::kAcrossElements, 0});
      at += stars - 1;
    } else {
      m_vecTokens.push_back({Kind::kLiteral, c});
    }
  }
  m_bWholePath = pattern.find('/') != std::string::npos;
  m_bLoaded = true;
  return CQiError();
}

// Runs the pattern as a set of positions reached so far, one step per
// character of the subject: linear in the subject for a given pattern, with
// no backtracking whatever the stars.
bool CFilterTerm::Matches(const std::string& path) const {
  if (!m_bLoaded) return false;
  const size_t slash = m_bWholePath ? std::string::npos : path.rfind('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  const size_t count = m_vecTokens.size();
  std::vector<char> reached(count + 1, 0);
  std::vector<char> following(count + 1, 0);
  // A star may stand for nothing: reaching it reaches what follows it too.
  auto close = [this, count](std::vector<char>& positions) {
    for (size_t i = 0; i < count; ++i)
      if (positions[i] && m_vecTokens[i].kind != Kind::kLiteral && m_vecTokens[i].kind != Kind::kOneCharacter)
        positions[i + 1] = 1;
  };
  reached[0] = 1;
  close(reached);
  for (size_t at = start; at < path.size(); ++at) {
    const char c = path[at];
    std::fill(following.begin(), following.end(), 0);
    bool any = false;
    for (size_t i = 0; i < count; ++i) {
      if (!reached[i]) continue;
      const Token& token = m_vecTokens[i];
      switch (token.kind) {
        case Kind::kLiteral:
          if (c == token.literal) following[i + 1] = any = true;
          break;
        case Kind::kOneCharacter:
          if (c != '/') following[i + 1] = any = true;
          break;
        case Kind::kWithinElement:
          if (c != '/') following[i] = any = true;
          break;
        case Kind::kAcrossElements:
          following[i] = any = true;
          break;
      }
    }
    if (!any) return false;
    close(following);
    reached.swap(following);
  }
  return reached[count] != 0;
}
