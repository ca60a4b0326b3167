#include "support/fault_injection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "platform/sim/fs_util.h"
#include "support/run_command.h"
#include "support/temporary_folder.h"

namespace testing_support {

std::string StraceUnavailable() {
  std::string output;
  if (RunCommand("command -v strace >/dev/null 2>&1", &output) != 0) return "strace is not installed";
  if (RunCommand("strace -f -qq -o /dev/null true 2>&1", &output) != 0)
    return "strace cannot trace a child here: " + output;
  return std::string();
}

namespace {

// The sanitizers' runtime tells readable memory from unreadable by writing
// it to a pipe: under it the write points are as much its probes as the
// program's writes, and a probe that fails aborts the program. The normal
// build runs them.
bool SanitizerProbesWithWrites(const std::string& calls) {
#if defined(__SANITIZE_ADDRESS__)
  return calls.find("write") != std::string::npos;
#else
  (void)calls;
  return false;
#endif
}

const char* InjectionOf(InjectedFault fault) {
  switch (fault) {
    case InjectedFault::kKill:
      return "signal=SIGKILL";
    case InjectedFault::kNoSpace:
      return "error=ENOSPC";
    case InjectedFault::kIo:
      return "error=EIO";
  }
  return "";
}

// A file name for one strace run's output.
std::string NewTraceFile() {
  static int sequence = 0;
  return TemporaryDirectory() + "/blb-fault-trace." + std::to_string(::getpid()) + "." + std::to_string(sequence++);
}

// The leak check of a sanitizer build cannot run under ptrace, and would
// fail the program at exit. Only errors are logged: the points are the
// program's own files, not its log's lines.
std::string StraceInto(const std::string& trace) {
  return "BLB_LOG_LEVEL=-1 ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq -o " + trace;
}

// What strace wrote, the file removed.
std::string TakeTrace(const std::string& trace) {
  std::string traced;
  platform::ReadWholeFile(trace, traced);
  std::remove(trace.c_str());
  return traced;
}

}  // namespace

std::string Describe(const FaultPoint& point) {
  return std::string(InjectionOf(point.fault)) + " at " + point.calls + " #" + std::to_string(point.when) +
         (point.path.empty() ? std::string() : " of " + point.path);
}

int RunWithFault(const std::string& command, const FaultPoint& point, bool& struck, std::string* output) {
  const std::string trace = NewTraceFile();
  const std::string line = StraceInto(trace) + (point.path.empty() ? std::string() : " -P " + point.path) +
                           " -e trace=" + point.calls + " -e inject=" + point.calls + ":" + InjectionOf(point.fault) +
                           ":when=" + std::to_string(point.when) + " " + command + " 2>&1";
  const int status = RunCommand(line, output);
  const std::string traced = TakeTrace(trace);
  struck = traced.find("INJECTED") != std::string::npos || traced.find("killed by SIGKILL") != std::string::npos ||
           (point.fault == InjectedFault::kKill && status != 0);
  return status;
}

std::vector<std::string> TraceCalls(const std::string& command, const std::string& calls) {
  // As RunWithFault runs it, so that the calls come in the same order.
  const std::string trace = NewTraceFile();
  std::string output;
  RunCommand(StraceInto(trace) + " -y -e trace=" + calls + " " + command + " 2>&1", &output);
  const std::string traced = TakeTrace(trace);
  std::vector<std::string> names;
  std::istringstream list(calls);
  for (std::string name; std::getline(list, name, ',');) names.push_back(name + "(");
  std::vector<std::string> lines;
  std::istringstream traceLines(traced);
  std::string line;
  while (std::getline(traceLines, line)) {
    // "<pid>  <call>(...": one call; signals, exits and resumed halves are not.
    const size_t start = line.find_first_not_of(' ', line.find(' '));
    if (start == std::string::npos) continue;
    for (const std::string& name : names)
      if (line.compare(start, name.size(), name) == 0) lines.push_back(line.substr(start));
  }
  return lines;
}

bool FolderSyncedAfterLast(const std::vector<std::string>& calls, const std::string& text, const std::string& folder) {
  const auto isSync = [](const std::string& line) { return line.rfind("fsync(", 0) == 0; };
  size_t last = calls.size();
  for (size_t i = 0; i < calls.size(); ++i)
    if (!isSync(calls[i]) && calls[i].find(text) != std::string::npos) last = i;
  if (last == calls.size()) return false;
  for (size_t i = last + 1; i < calls.size(); ++i)
    if (isSync(calls[i]) && calls[i].find("<" + folder + ">") != std::string::npos) return true;
  return false;
}

int FolderSyncAfterRemoval(const std::vector<std::string>& calls, const std::string& path, const std::string& folder,
                           const std::string& next) {
  const auto isFolderSync = [&](const std::string& line) {
    return line.rfind("fsync(", 0) == 0 && line.find("<" + folder + ">") != std::string::npos;
  };
  int syncs = 0;
  bool removed = false;
  for (const std::string& line : calls) {
    if (isFolderSync(line)) {
      ++syncs;
      if (removed) return syncs;
    } else if (removed && line.find(next) != std::string::npos) {
      return 0;
    } else if (!removed && line.rfind("unlink", 0) == 0 && line.find("\"" + path + "\"") != std::string::npos) {
      removed = true;
    }
  }
  return 0;
}

const std::vector<std::string>& FileChangingCalls() {
  static const std::vector<std::string> groups = {"write,pwrite64,writev", "rename,renameat,renameat2",
                                                  "unlink,unlinkat", "ftruncate", "fsync,fdatasync"};
  return groups;
}

void ForEveryFaultPoint(const std::vector<std::string>& callGroups, const std::vector<InjectedFault>& faults,
                        int maxWhen, const std::function<void()>& prepare, const std::string& command,
                        const FaultCheck& check) {
  ForEveryFaultPoint(
      callGroups, faults, maxWhen, prepare, [&command] { return command; }, check);
}

void ForEveryFaultPoint(const std::vector<std::string>& callGroups, const std::vector<InjectedFault>& faults,
                        int maxWhen, const std::function<void()>& prepare, const std::function<std::string()>& command,
                        const FaultCheck& check) {
  int groupsStruck = 0;
  for (const std::string& calls : callGroups) {
    for (InjectedFault fault : faults) {
      if (SanitizerProbesWithWrites(calls)) continue;
      int when = 1;
      for (; when <= maxWhen; ++when) {
        const FaultPoint point{calls, fault, when};
        prepare();
        if (testing::Test::HasFatalFailure()) return;
        bool struck = false;
        std::string output;
        const int status = RunWithFault(command(), point, struck, &output);
        if (!struck) break;
        SCOPED_TRACE(Describe(point));
        check(point, status, output);
        if (testing::Test::HasFatalFailure()) return;
      }
      EXPECT_LE(when, maxWhen) << calls << ": the program still made such calls after " << maxWhen;
      if (when > 1) ++groupsStruck;
    }
  }
  EXPECT_GT(groupsStruck, 0) << "no fault ever reached the program";
}

}  // namespace testing_support
