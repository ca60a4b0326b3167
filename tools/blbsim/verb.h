#pragma once
// One harness verb: `blbsim <verb> [args...]`. Each verbs_*.cc file registers
// its verbs with a static VerbRegistration, so a new simulated service adds
// its verbs without touching the dispatcher.
#include <string>
#include <vector>

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

}  // namespace blbsim
