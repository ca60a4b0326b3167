#pragma once
// The verbs of a command-line tool: `<tool> <verb> [args...]`. Each verbs_*.cc
// file of a tool registers its verbs with a static VerbRegistration, so a new
// verb needs no change to the tool's dispatcher.
#include <string>
#include <vector>

#include "platform/error/qi_error.h"

namespace tools {

using Args = std::vector<std::string>;

struct Verb {
  std::string name;
  std::string usage;  // arguments, shown by `<tool> help`
  std::string help;   // one line
  int (*run)(const Args& args);
};

std::vector<Verb>& VerbTable();

struct VerbRegistration {
  explicit VerbRegistration(std::vector<Verb> verbs);
};

// The tool's name in the lines it prints; set once by its main.
void SetProgramName(const std::string& name);
const std::string& ProgramName();
// The verb the person asked for, set by a main whose errors name it (a verb
// that is none of the table's is not taken): from then on every error line
// starts "<tool> <verb>: ", as a usage error does, also one of a verb that
// the asked one runs (run's snapshot phase).
void SetAskedVerb(const std::string& verb);
// "<tool> <verb>", or "<tool>" while no verb is asked for.
std::string CommandName();

// Prints the usage of a verb to stderr and returns 2.
int UsageError(const std::string& verb);
// The same, after a line saying what is wrong ("unknown option --fast").
int UsageError(const std::string& verb, const std::string& what);

// 0 for success; else prints the error to stderr (PrintError) and returns 1.
int Report(const CQiError& result);

// Prints every verb with its usage and help line.
void PrintVerbs();

// Runs the named verb. A KzException (a fault in throw mode) or another
// exception (a refused state database) ends it with its message and 1; an
// unknown verb is 2.
int RunVerb(const std::string& name, const Args& args);

// Numbers of the arguments, decimal or 0x hex. Anything else (a sign where
// none belongs, trailing text, a value out of range) is refused rather than
// read as 0 or cut to fit: a mistyped id must not quietly name the wrong row.
bool ReadNumber(const std::string& text, unsigned long long limit, unsigned long long& value);
bool ReadInt(const std::string& text, int& value);
// Whether the arguments first..last (those present) are whole unsigned
// numbers; Number then reads one of them.
bool NumbersFrom(const Args& args, size_t first, size_t last);
unsigned long long Number(const std::string& text);

}  // namespace tools
