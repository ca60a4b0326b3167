#include "verbs/error_report.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/log/ev_debug.h"
#include "verbs/verb.h"

namespace tools {
namespace {

bool g_verbose = false;

// Room left for the tool's name, what failed, the cause and the code.
constexpr size_t kMaxMessage = 240;
constexpr int kLargestErrno = 4095;

// The system's text for an errno; "" for a code that is none, whose text
// would only say "Unknown error".
std::string ErrnoText(long long code) {
  if (code <= 0 || code > kLargestErrno || strerrorname_np(static_cast<int>(code)) == nullptr) return "";
  char buffer[128];
  return strerror_r(static_cast<int>(code), buffer, sizeof buffer);
}

// A failure made anew over another, with a code of its own that is no
// errno (1627), has the cause of the failure its message quotes.
std::string Cause(const CQiError& error, long long quotedCode) {
  if (error.GetKind() != CQiError::Kind::kErrNo) return "";
  const std::string own = ErrnoText(error.GetOriginalCode());
  return own.empty() ? ErrnoText(-quotedCode) : own;
}

// A message that quotes another failure's whole chain ("error=code=-28 |
// file:line function: ...") keeps the quoted code, given back too, and
// drops its frames.
std::string WithoutQuotedChain(const std::string& message, long long& quotedCode) {
  for (size_t code = message.find("code="); code != std::string::npos; code = message.find("code=", code + 1)) {
    size_t end = code + 5;
    if (end < message.size() && message[end] == '-') ++end;
    const size_t digits = end;
    while (end < message.size() && std::isdigit(static_cast<unsigned char>(message[end]))) ++end;
    if (end > digits && end - digits <= 10 && message.compare(end, 3, " | ") == 0) {
      quotedCode = std::strtoll(message.c_str() + code + 5, nullptr, 10);
      return message.substr(0, end);
    }
  }
  return message;
}

std::string Printable(const std::string& text, size_t most) {
  std::string line;
  for (char c : text) {
    if (line.size() == most) {
      line += "...";
      break;
    }
    line += static_cast<unsigned char>(c) < ' ' || c == 0x7f ? ' ' : c;
  }
  return line;
}

}  // namespace

void SetVerbose(bool verbose) {
  g_verbose = verbose;
}

std::string ErrorLine(const CQiError& error) {
  long long quotedCode = 0;
  std::string line = Printable(WithoutQuotedChain(error.FirstMessage(), quotedCode), kMaxMessage);
  const std::string cause = Cause(error, quotedCode);
  if (!cause.empty() && line.find(cause) == std::string::npos) line += (line.empty() ? "" : ": ") + cause;
  const std::string code = "code=" + std::to_string(error.GetErrorCode());
  return line.empty() ? code : line + " (" + code + ")";
}

void PrintError(const std::string& what, const CQiError& error) {
  const std::string lead = ProgramName() + ": " + (what.empty() ? "" : what + ": ");
  std::fprintf(stderr, "%s%s\n", lead.c_str(), ErrorLine(error).c_str());
  const std::string chain = error.AsString();
  EvDebug log;
  log.Error(__FUNCTION__, "%s%s", lead.c_str(), chain.c_str());
  if (g_verbose) std::fprintf(stderr, "%s%s\n", lead.c_str(), chain.c_str());
}

}  // namespace tools
