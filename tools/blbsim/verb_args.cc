#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "verb.h"

namespace blbsim {

bool ReadNumber(const std::string& text, unsigned long long limit, unsigned long long& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || std::isspace(static_cast<unsigned char>(text[0])))
    return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || parsed > limit) return false;
  value = parsed;
  return true;
}

bool ReadInt(const std::string& text, int& value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX) return false;
  value = static_cast<int>(parsed);
  return true;
}

bool NumbersFrom(const Args& args, size_t first, size_t last) {
  unsigned long long value = 0;
  for (size_t i = first; i < args.size() && i <= last; ++i)
    if (!ReadNumber(args[i], ULLONG_MAX, value)) return false;
  return true;
}

unsigned long long Number(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 0); }

}  // namespace blbsim
