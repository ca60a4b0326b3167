#include "verbs/quoted_chain.h"

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

namespace tools {
namespace {

constexpr const char* kFrameSeparator = " | ";

// Whether a frame starts at the position: "<file>:<line>" and a blank, or
// the end.
bool FrameAt(const std::string& message, size_t at) {
  size_t end = message.find(' ', at);
  if (end == std::string::npos) end = message.size();
  const size_t colon = message.rfind(':', end);
  return colon != std::string::npos && colon > at && colon + 1 < end &&
         message.find_first_not_of("0123456789", colon + 1) >= end;
}

// Whether a quoted chain ("code=<n> | " and a frame) starts at the
// position, with its code.
bool QuotedChainAt(const std::string& message, size_t at, std::string& code) {
  size_t end = at + 5;
  if (end < message.size() && message[end] == '-') ++end;
  const size_t digits = end;
  while (end < message.size() && std::isdigit(static_cast<unsigned char>(message[end]))) ++end;
  if (end == digits || message.compare(end, 3, kFrameSeparator) != 0 || !FrameAt(message, end + 3)) return false;
  code = message.substr(at + 5, end - at - 5);
  return true;
}

// Where the last quoted chain of the message starts, with its code; npos
// when there is none.
size_t LastQuotedChain(const std::string& message, std::string& code) {
  for (size_t at = message.rfind("code="); at != std::string::npos;
       at = at == 0 ? std::string::npos : message.rfind("code=", at - 1)) {
    if (QuotedChainAt(message, at, code)) return at;
  }
  return std::string::npos;
}

// Where the chain starting at `start` ends: at the first bracket that
// closes one it did not open (the one just before it, when it was quoted in
// brackets), else at the end of the message.
size_t ChainEnd(const std::string& message, size_t start) {
  int depth = 0;
  for (size_t i = start; i < message.size(); ++i) {
    const char c = message[i];
    if (c == '[' || c == '(' || c == '{') {
      ++depth;
    } else if (c == ']' || c == ')' || c == '}') {
      if (depth == 0) return i;
      --depth;
    }
  }
  return message.size();
}

// The messages of the chain's frames, after its code: each frame is
// "file:line function" and, when it has one, ": message".
std::vector<std::string> FrameMessages(const std::string& frames) {
  std::vector<std::string> messages;
  size_t at = 0;
  while (at < frames.size()) {
    size_t next = frames.find(kFrameSeparator, at);
    if (next == std::string::npos) next = frames.size();
    const std::string frame = frames.substr(at, next - at);
    const size_t text = frame.find(": ");
    if (text != std::string::npos && text + 2 < frame.size()) messages.push_back(frame.substr(text + 2));
    at = next + 3;
  }
  return messages;
}

}  // namespace

long long FirstQuotedChainCode(const std::string& message) {
  std::string code;
  for (size_t at = message.find("code="); at != std::string::npos; at = message.find("code=", at + 1)) {
    if (QuotedChainAt(message, at, code) && code.size() <= 11) return std::strtoll(code.c_str(), nullptr, 10);
  }
  return 0;
}

std::string WithQuotedChainsShort(const std::string& message, long long ownCode) {
  std::string text = message;
  std::string code;
  for (size_t start = LastQuotedChain(text, code); start != std::string::npos; start = LastQuotedChain(text, code)) {
    const size_t end = ChainEnd(text, start);
    const size_t framesStart = start + 5 + code.size() + 3;
    const std::vector<std::string> messages =
        FrameMessages(framesStart < end ? text.substr(framesStart, end - framesStart) : std::string());
    std::string shown;
    for (const std::string& part : messages) shown += (shown.empty() ? "" : "; ") + part;
    if (shown.empty())
      shown = "code=" + code;
    else if (code != std::to_string(ownCode))
      shown = "code=" + code + ": " + shown;
    text.replace(start, end - start, shown);
  }
  return text;
}

}  // namespace tools
