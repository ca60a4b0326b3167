#include "verbs/verb.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "verbs/error_report.h"

namespace tools {

std::vector<Verb>& VerbTable() {
  static std::vector<Verb> table;
  return table;
}

VerbRegistration::VerbRegistration(std::vector<Verb> verbs) {
  for (Verb& verb : verbs) VerbTable().push_back(std::move(verb));
}

namespace {

std::string& Name() {
  static std::string name = "tool";
  return name;
}

std::string& AskedVerb() {
  static std::string verb;
  return verb;
}

}  // namespace

void SetProgramName(const std::string& name) {
  Name() = name;
}

const std::string& ProgramName() {
  return Name();
}

void SetAskedVerb(const std::string& name) {
  for (const Verb& verb : VerbTable())
    if (verb.name == name) AskedVerb() = name;
}

std::string CommandName() {
  return AskedVerb().empty() ? ProgramName() : ProgramName() + " " + AskedVerb();
}

int UsageError(const std::string& name) {
  for (const Verb& verb : VerbTable())
    if (verb.name == name)
      std::fprintf(stderr, "usage: %s %s %s\n", ProgramName().c_str(), verb.name.c_str(), verb.usage.c_str());
  return 2;
}

int UsageError(const std::string& name, const std::string& what) {
  std::fprintf(stderr, "%s %s: %s\n", ProgramName().c_str(), name.c_str(), what.c_str());
  return UsageError(name);
}

int Report(const CQiError& result) {
  if (!result.IsError()) return 0;
  PrintError("", result);
  return 1;
}

void PrintVerbs() {
  for (const Verb& verb : VerbTable())
    std::printf("  %-12s %-40s %s\n", verb.name.c_str(), verb.usage.c_str(), verb.help.c_str());
}

int RunVerb(const std::string& name, const Args& args) {
  try {
    for (const Verb& verb : VerbTable())
      if (verb.name == name) return verb.run(args);
  } catch (const KzException& exception) {
    PrintErrorLine("KzException: %s", exception.getMessage());
    return 1;
  } catch (const std::exception& exception) {
    PrintErrorLine("%s", exception.what());
    return 1;
  } catch (...) {
    PrintErrorLine("unknown exception");
    return 1;
  }
  const char* tool = ProgramName().c_str();
  std::fprintf(stderr, "%s: unknown verb '%s' (try: %s help)\n", tool, name.c_str(), tool);
  return 2;
}

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

unsigned long long Number(const std::string& text) {
  return std::strtoull(text.c_str(), nullptr, 0);
}

}  // namespace tools
