#include "support/run_command.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

namespace testing_support {

int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
  const int status = ::pclose(pipe);
  if (output != nullptr) *output = text;
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunCommandMeasuringPeakMemory(const std::string& command, long& peakKiB) {
  peakKiB = 0;
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t child = 0;
  if (::posix_spawn(&child, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) return -1;
  int status = 0;
  struct rusage usage {};
  pid_t waited;
  while ((waited = ::wait4(child, &status, 0, &usage)) < 0 && errno == EINTR) {
  }
  if (waited != child) return -1;
  // The shell's own figure takes in those of the processes it waited for.
  peakKiB = usage.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string CommandOutput(const std::string& command) {
  std::string output;
  const int status = RunCommand(command, &output);
  EXPECT_EQ(status, 0) << command;
  return status == 0 ? output : std::string();
}

std::string SettledCommandOutput(const std::string& command, const std::string& expected) {
  std::string output = CommandOutput(command);
  for (int tries = 0; output != expected && tries < 50; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    output = CommandOutput(command);
  }
  return output;
}

}  // namespace testing_support
