#include "ending_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "platform/sim/fs_util.h"

namespace blbjob {
namespace {

constexpr unsigned long kExiting = 0x4;  // PF_EXITING of /proc/PID/stat's flags
constexpr int kPollMs = 10;

// "SigPnd:" (the thread's) or "ShdPnd:" (the process's) of /proc/PID/status.
bool KillPending(const std::string& status) {
  const unsigned long long kill = 1ULL << (SIGKILL - 1);
  for (const char* field : {"\nSigPnd:", "\nShdPnd:"}) {
    const size_t at = status.find(field);
    if (at != std::string::npos && std::strtoull(status.c_str() + at + 8, nullptr, 16) & kill) return true;
  }
  return false;
}

}  // namespace

bool IsEnding(pid_t pid) {
  const std::string folder = "/proc/" + std::to_string(pid);
  std::string stat, status;
  if (pid <= 0 || (::kill(pid, 0) != 0 && errno == ESRCH)) return true;
  // What cannot be read (a /proc that hides other users' processes) is taken
  // for a process that runs on.
  if (!platform::ReadWholeFile(folder + "/stat", stat)) return false;
  // "PID (NAME) STATE PPID PGRP SESSION TTY TPGID FLAGS ...": the name may
  // hold anything, a parenthesis too.
  const size_t name = stat.rfind(')');
  if (name == std::string::npos) return true;
  std::istringstream fields(stat.substr(name + 1));
  std::string state;
  long skipped = 0;
  unsigned long flags = 0;
  fields >> state >> skipped >> skipped >> skipped >> skipped >> skipped >> flags;
  if (state == "Z" || state == "X" || state == "x" || (flags & kExiting) != 0) return true;
  return platform::ReadWholeFile(folder + "/status", status) && KillPending(status);
}

bool WaitUntil(const std::function<bool()>& done, int waitMs) {
  for (int waited = 0; waited < waitMs; waited += kPollMs) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  return done();
}

}  // namespace blbjob
