#include "verbs/error_report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/log/ev_debug.h"
#include "platform/text/format.h"
#include "verbs/quoted_chain.h"
#include "verbs/verb.h"

namespace tools {
namespace {

bool g_verbose = false;

constexpr int kLargestErrno = 4095;
// Room a line leaves the first message however long the rest is.
constexpr size_t kLeastMessageRoom = 80;

// The system's text for an errno; "" for a code that is none, whose text
// would only say "Unknown error".
std::string ErrnoText(long long code) {
  if (code <= 0 || code > kLargestErrno || strerrorname_np(static_cast<int>(code)) == nullptr) return "";
  char buffer[128];
  return strerror_r(static_cast<int>(code), buffer, sizeof buffer);
}

// A failure made anew over another has the cause of the failure its
// message quotes: its own code is what its caller needs (1627, or the 2 of
// a scan that failed for every volume), the quoted one what the system said.
std::string Cause(const CQiError& error) {
  if (error.GetKind() != CQiError::Kind::kErrNo) return "";
  const std::string quoted = ErrnoText(-FirstQuotedChainCode(error.FirstMessage()));
  return quoted.empty() ? ErrnoText(error.GetOriginalCode()) : quoted;
}

// The text with control characters as spaces, cut to at most `most`
// characters ("..." included).
std::string Printable(const std::string& text, size_t most) {
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.size() > most && line.size() + 3 == most) {
      line += "...";
      break;
    }
    const char c = text[i];
    line += static_cast<unsigned char>(c) < ' ' || c == 0x7f ? ' ' : c;
  }
  return line;
}

}  // namespace

void SetVerbose(bool verbose) {
  g_verbose = verbose;
}

std::string ErrorLine(const CQiError& error, size_t most) {
  const std::string message = WithQuotedChainsShort(error.FirstMessage(), error.GetErrorCode());
  const std::string code = "code=" + std::to_string(error.GetErrorCode());
  std::string cause = Cause(error);
  if (message.empty()) return cause.empty() ? code : cause + " (" + code + ")";
  if (message.find(cause) != std::string::npos) cause.clear();
  const std::string tail = (cause.empty() ? "" : ": " + cause) + " (" + code + ")";
  const size_t room = most > tail.size() + kLeastMessageRoom ? most - tail.size() : kLeastMessageRoom;
  return Printable(message, room) + tail;
}

void PrintError(const std::string& what, const CQiError& error) {
  const std::string lead = CommandName() + ": " + (what.empty() ? "" : what + ": ");
  const size_t room = kErrorLineLimit > lead.size() ? kErrorLineLimit - lead.size() : 0;
  std::fprintf(stderr, "%s%s\n", lead.c_str(), ErrorLine(error, room).c_str());
  const std::string chain = error.AsString();
  EvDebug log;
  log.Error(__FUNCTION__, "%s%s", lead.c_str(), chain.c_str());
  if (g_verbose) std::fprintf(stderr, "%s%s\n", lead.c_str(), chain.c_str());
}

void PrintErrorLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = platform::VFormat(format, args);
  va_end(args);
  const std::string lead = CommandName() + ": ";
  const size_t room = kErrorLineLimit > lead.size() ? kErrorLineLimit - lead.size() : 0;
  const std::string line = lead + Printable(text, room);
  std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace tools
