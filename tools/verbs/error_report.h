#pragma once
// How the tools tell a failure: on stderr one line a person reads (the first
// message the failure was made with and its cause); the whole chain of
// frames, with their source locations and functions, goes to the log, and
// to stderr as well when the user asked for it (--verbose).
#include <string>

#include "platform/error/qi_error.h"

namespace tools {

// With verbose, PrintError shows the whole chain on stderr too.
void SetVerbose(bool verbose);

// The longest line PrintError prints (the line end not counted).
constexpr size_t kErrorLineLimit = 400;

// "<first message>: <cause> (code=<code>)": the cause is the system's text
// for an errno ("No space left on device"), that of the failure the message
// quotes when it quotes one, left out when the message says it already; a
// chain the message quotes keeps only its messages (quoted_chain.h);
// control characters become spaces, and a first message too long for a
// line of `most` characters is cut, ending in "...".
std::string ErrorLine(const CQiError& error, size_t most = kErrorLineLimit);

// Prints "<command>: <what>: <error line>" ("<command>: <error line>" for an
// empty what; the command is CommandName(), "<tool> <verb>") to stderr, in
// at most kErrorLineLimit characters, and logs the whole chain.
void PrintError(const std::string& what, const CQiError& error);

// Prints "<command>: <text, formatted>" to stderr, one line of at most
// kErrorLineLimit characters: a failure or refusal the tool finds itself,
// which the line says whole (not logged: it may find no state directory to
// log into).
void PrintErrorLine(const char* format, ...) KZ_PRINTF_FORMAT(1, 2);

}  // namespace tools
