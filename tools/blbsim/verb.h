#pragma once
// One harness verb: `blbsim <verb> [args...]`. Each verbs_*.cc file registers
// its verbs with a static VerbRegistration, so a new simulated service adds
// its verbs without touching the dispatcher.
#include <string>
#include <vector>

#include "platform/error/qi_error.h"

namespace blbsim {

using Args = std::vector<std::string>;

struct Verb {
  std::string name;
  std::string usage;  // arguments, shown by `blbsim help`
  std::string help;   // one line
  int (*run)(const Args& args);
};

std::vector<Verb>& VerbTable();

struct VerbRegistration {
  explicit VerbRegistration(std::vector<Verb> verbs);
};

// Prints the usage of a verb to stderr and returns 2.
int UsageError(const std::string& verb);

// 0 for success; else prints the error to stderr and returns 1.
int Report(const CQiError& result);

// Numbers of the arguments, decimal or 0x hex. Anything else (a sign where
// none belongs, trailing text, a value out of range) is refused rather than
// read as 0 or cut to fit: a mistyped id must not quietly seed the wrong row.
bool ReadNumber(const std::string& text, unsigned long long limit, unsigned long long& value);
bool ReadInt(const std::string& text, int& value);
// Whether the arguments first..last (those present) are whole unsigned
// numbers; Number then reads one of them.
bool NumbersFrom(const Args& args, size_t first, size_t last);
unsigned long long Number(const std::string& text);

}  // namespace blbsim
