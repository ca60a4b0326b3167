// blbsim: seeds and inspects the simulated platform state of a state
// directory (BLB_STATE_DIR, or --state DIR before the verb).
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "platform/error/qi_error.h"
#include "verb.h"

namespace blbsim {

std::vector<Verb>& VerbTable() {
  static std::vector<Verb> table;
  return table;
}

VerbRegistration::VerbRegistration(std::vector<Verb> verbs) {
  for (Verb& verb : verbs) VerbTable().push_back(std::move(verb));
}

int UsageError(const std::string& name) {
  for (const Verb& verb : VerbTable())
    if (verb.name == name) std::fprintf(stderr, "usage: blbsim %s %s\n", verb.name.c_str(), verb.usage.c_str());
  return 2;
}

int Report(const CQiError& result) {
  if (!result.IsError()) return 0;
  std::fprintf(stderr, "blbsim: %s\n", result.AsString().c_str());
  return 1;
}

}  // namespace blbsim

namespace {

void PrintHelp() {
  std::printf("usage: blbsim [--state DIR] <verb> [args...]\n\nverbs:\n");
  for (const blbsim::Verb& verb : blbsim::VerbTable())
    std::printf("  %-12s %-40s %s\n", verb.name.c_str(), verb.usage.c_str(), verb.help.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  blbsim::Args args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "--state") {
    setenv("BLB_STATE_DIR", args[1].c_str(), 1);
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty() || args[0] == "help" || args[0] == "--help") {
    PrintHelp();
    return args.empty() ? 2 : 0;
  }
  const std::string name = args[0];
  args.erase(args.begin());
  // A fault in throw mode, or a state database this build refuses, ends the
  // verb with its message instead of aborting the tool.
  try {
    for (const blbsim::Verb& verb : blbsim::VerbTable())
      if (verb.name == name) return verb.run(args);
  } catch (const KzException& exception) {
    std::fprintf(stderr, "blbsim: KzException: %s\n", exception.getMessage());
    return 1;
  } catch (const std::exception& exception) {
    std::fprintf(stderr, "blbsim: %s\n", exception.what());
    return 1;
  } catch (...) {
    std::fprintf(stderr, "blbsim: unknown exception\n");
    return 1;
  }
  std::fprintf(stderr, "blbsim: unknown verb '%s' (try: blbsim help)\n", name.c_str());
  return 2;
}
