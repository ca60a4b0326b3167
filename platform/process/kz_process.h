#pragma once
// The agent's process runner: starts commands through the shell (fork/exec,
// real) and waits for them.
//
//   KzProcess process;
//   char error[1024] = {};
//   if (!process.StartProcess(path, commandLine, error, sizeof error, 0)) ...
//   int ended = process.WaitForProcessToEnd(10, error, sizeof error);
//     // 1 ended, 0 timed out (error text "timedout"), -1 failed
//
//   std::string output, error;
//   int status = KzProcess::system("lvs ... | tr -d ' '", &output, &error, 0, false);
//
// Every call can be failed from a test through the fault table
// ("KzProcess::StartProcess", "KzProcess::WaitForProcessToEnd", "KzProcess::kill",
// "KzProcess::system").
#include <sys/types.h>

#include <cstddef>
#include <string>

class KzProcess {
 public:
  // The error text of a wait that ran out of time.
  static constexpr const char* kTimedOut = "timedout";

  KzProcess() = default;
  // Reaps the child if it has ended; a child still running is left alone.
  ~KzProcess();
  KzProcess(const KzProcess&) = delete;
  KzProcess& operator=(const KzProcess&) = delete;

  // Runs the command line with "/bin/sh -c" in a process group of its own.
  // When a program is named it must be executable, else the start fails.
  // On failure the error text (cut to the buffer) says why; no child is left.
  bool StartProcess(const char* program, const char* commandLine, char* error, size_t errorSize, int flags);
  pid_t getProcessId() const { return m_nPid; }

  // Waits for the child to end: at most timeoutSeconds (scaled by the
  // platform's sleep factor, so tests need not wait), forever when negative.
  // 1 when it ended (exit status in getExitCode), 0 when the time ran out
  // (error "timedout", the child keeps running), -1 on failure.
  int WaitForProcessToEnd(int timeoutSeconds, char* error, size_t errorSize);
  // The shell's exit status, 128 + signal for a killed child, -1 before the end.
  int getExitCode() const { return m_nExitCode; }
  // Sends a signal to the child's process group; 0 or -1 (errno set).
  int kill(int signal);

  // Runs a command line through "/bin/sh -c" and waits for it: its standard
  // output goes to output and its standard error to error (each may be null).
  // timeoutSeconds 0 waits without limit; past a limit the command is killed.
  // mergeErrorIntoOutput sends standard error to the output text too.
  // Returns the exit status (0 success), 128 + signal when killed, -1 when it
  // could not run (error text says why).
  static int system(const std::string& commandLine, std::string* output, std::string* error,
                    int timeoutSeconds = 0, bool mergeErrorIntoOutput = false);

 private:
  bool Reap(bool block);

  pid_t m_nPid = -1;
  int m_nExitCode = -1;
  bool m_bEnded = false;
};
