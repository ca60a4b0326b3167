#include "phase_options.h"

#include <cstdio>

namespace blbjob {
namespace {

constexpr unsigned long long kMostStreams = 64;
constexpr unsigned long long kMostReadAhead = 4096;

bool ReadValue(const tools::Args& options, size_t& i, unsigned long long least, unsigned long long most,
               unsigned long long& value, std::string& why) {
  const std::string& option = options[i];
  if (i + 1 >= options.size()) {
    why = option + " needs a value";
    return false;
  }
  const std::string& text = options[++i];
  if (!tools::ReadNumber(text, most, value) || value < least) {
    why = option + " " + text + ": not a number from " + std::to_string(least) + " to " + std::to_string(most);
    return false;
  }
  return true;
}

}  // namespace

bool ReadPhaseOptions(const tools::Args& options, PhaseOptions& read, std::string& why) {
  for (size_t i = 0; i < options.size(); ++i) {
    const std::string& option = options[i];
    unsigned long long value = 0;
    if (option == "--streams") {
      if (!ReadValue(options, i, 1, kMostStreams, value, why)) return false;
      read.scan.streams = read.backup.streams = static_cast<int>(value);
    } else if (option == "--starvation") {
      if (!ReadValue(options, i, 1, kMostStreams, value, why)) return false;
      read.scan.starvation = static_cast<int>(value);
    } else if (option == "--mode") {
      if (!ReadValue(options, i, HC_NO_THREAD, HC_READ_AND_HASH_THREADS, value, why)) return false;
      read.backup.mode = static_cast<DeviceHashComputeMode>(value);
    } else if (option == "--readahead") {
      if (!ReadValue(options, i, 1, kMostReadAhead, value, why)) return false;
      read.backup.readAhead = value;
    } else if (option == "--trueup") {
      read.scan.trueUp = true;
    } else if (option == "--multiple-readers") {
      read.scan.multipleReaders = true;
    } else if (option == "--progress") {
      read.progress = true;
    } else if (option == "--keep-snapshot") {
      read.keepSnapshot = true;
    } else {
      read.others.push_back(option);
    }
  }
  return true;
}

int PhaseUsageError(const std::string& verb, const PhaseOptions& read, const std::string& why) {
  if (!why.empty())
    std::fprintf(stderr, "blbjob %s: %s\n", verb.c_str(), why.c_str());
  else if (!read.others.empty())
    std::fprintf(stderr, "blbjob %s: unknown option %s\n", verb.c_str(), read.others.front().c_str());
  return tools::UsageError(verb);
}

}  // namespace blbjob
