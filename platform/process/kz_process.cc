#include "platform/process/kz_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/log/ev_debug.h"
#include "platform/settings/settings.h"
#include "platform/sim/fault_table.h"

extern char** environ;

namespace {

constexpr const char* kShell = "/bin/sh";
// How often a wait looks at the child; waits are short compared with it.
constexpr std::chrono::milliseconds kPollInterval(10);

void SetError(char* buffer, size_t size, const std::string& text) {
  if (buffer == nullptr || size == 0) return;
  const size_t length = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
}

int StatusToExitCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Owns the descriptors and attributes of one spawn, so every path releases them.
class Spawner {
 public:
  Spawner() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attr_);
    // A group of its own so that a kill reaches the command and its children;
    // signals back to their defaults so an ignored SIGPIPE does not leak in.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigmask(&attr_, &none);
    posix_spawnattr_setsigdefault(&attr_, &defaults);
    posix_spawnattr_setpgroup(&attr_, 0);
    posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  ~Spawner() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  Spawner(const Spawner&) = delete;
  Spawner& operator=(const Spawner&) = delete;

  void Redirect(int from, int to) { posix_spawn_file_actions_adddup2(&actions_, from, to); }

  // 0 or the errno of the failed spawn.
  int Spawn(const std::string& commandLine, pid_t* pid) {
    std::string shell(kShell);
    std::string dashC("-c");
    std::string command(commandLine);
    char* argv[] = {shell.data(), dashC.data(), command.data(), nullptr};
    return posix_spawn(pid, kShell, &actions_, &attr_, argv, environ);
  }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

class Pipe {
 public:
  Pipe() {
    if (::pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  bool Ok() const { return fds_[0] >= 0; }
  int Read() const { return fds_[0]; }
  int Write() const { return fds_[1]; }
  void CloseRead() { Close(fds_[0]); }
  void CloseWrite() { Close(fds_[1]); }

 private:
  static void Close(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  int fds_[2] = {-1, -1};
};

// Appends what is readable now; false at end of input or on an error.
bool Drain(int fd, std::string* into) {
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      if (into != nullptr) into->append(buffer, static_cast<size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return true;
    return false;
  }
}

}  // namespace

KzProcess::~KzProcess() {
  if (m_nPid > 0 && !m_bEnded) Reap(false);
}

bool KzProcess::StartProcess(const char* program, const char* commandLine, char* error, size_t errorSize, int) {
  SetError(error, errorSize, "");
  int code = 0;
  if (platform::InjectedFaultCode("KzProcess::StartProcess", code)) {
    SetError(error, errorSize, "Injected fault in KzProcess::StartProcess");
    return false;
  }
  if (m_nPid > 0 && !m_bEnded) {
    SetError(error, errorSize, "a process is already running");
    return false;
  }
  if (commandLine == nullptr || *commandLine == '\0') {
    SetError(error, errorSize, "empty command line");
    return false;
  }
  if (program != nullptr && *program != '\0' && ::access(program, X_OK) != 0) {
    SetError(error, errorSize, std::string(program) + ": " + std::strerror(errno));
    return false;
  }
  Spawner spawner;
  pid_t pid = -1;
  int failed = spawner.Spawn(commandLine, &pid);
  if (failed != 0) {
    SetError(error, errorSize, std::string("cannot start ") + kShell + ": " + std::strerror(failed));
    return false;
  }
  m_nPid = pid;
  m_nExitCode = -1;
  m_bEnded = false;
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 3, "Started pid %d: %s", static_cast<int>(pid), commandLine);
  return true;
}

bool KzProcess::Reap(bool block) {
  int status = 0;
  for (;;) {
    pid_t done = ::waitpid(m_nPid, &status, block ? 0 : WNOHANG);
    if (done < 0 && errno == EINTR) continue;
    if (done == m_nPid) {
      m_nExitCode = StatusToExitCode(status);
      m_bEnded = true;
      return true;
    }
    return false;
  }
}

int KzProcess::WaitForProcessToEnd(int timeoutSeconds, char* error, size_t errorSize) {
  SetError(error, errorSize, "");
  int code = 0;
  if (platform::InjectedFaultCode("KzProcess::WaitForProcessToEnd", code)) {
    SetError(error, errorSize, "Injected fault in KzProcess::WaitForProcessToEnd");
    return -1;
  }
  if (m_nPid <= 0) {
    SetError(error, errorSize, "no process was started");
    return -1;
  }
  if (m_bEnded) return 1;
  if (timeoutSeconds < 0) {
    if (Reap(true)) return 1;
    SetError(error, errorSize, std::string("waitpid failed: ") + std::strerror(errno));
    return -1;
  }
  const auto limit = std::chrono::milliseconds(
      static_cast<long long>(timeoutSeconds * 1000.0 * platform::Settings::SleepFactor()));
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    errno = 0;
    if (Reap(false)) return 1;
    if (errno != 0) {
      SetError(error, errorSize, std::string("waitpid failed: ") + std::strerror(errno));
      return -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      SetError(error, errorSize, kTimedOut);
      return 0;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

int KzProcess::kill(int signal) {
  int code = 0;
  if (platform::InjectedFaultCode("KzProcess::kill", code)) {
    errno = code > 0 ? code : EPERM;
    return -1;
  }
  if (m_nPid <= 0 || m_bEnded) {
    errno = ESRCH;
    return -1;
  }
  return ::kill(-m_nPid, signal);
}

int KzProcess::system(const std::string& commandLine, std::string* output, std::string* error, int timeoutSeconds,
                      bool mergeErrorIntoOutput) {
  if (output != nullptr) output->clear();
  if (error != nullptr) error->clear();
  int code = 0;
  if (platform::InjectedFaultCode("KzProcess::system", code)) {
    if (error != nullptr) *error = "Injected fault in KzProcess::system";
    return code != 0 ? code : -1;
  }
  Pipe out;
  Pipe err;
  if (!out.Ok() || !err.Ok()) {
    if (error != nullptr) *error = std::string("pipe failed: ") + std::strerror(errno);
    return -1;
  }
  Spawner spawner;
  spawner.Redirect(out.Write(), STDOUT_FILENO);
  spawner.Redirect(mergeErrorIntoOutput ? out.Write() : err.Write(), STDERR_FILENO);
  pid_t pid = -1;
  int failed = spawner.Spawn(commandLine, &pid);
  out.CloseWrite();
  err.CloseWrite();
  if (failed != 0) {
    if (error != nullptr) *error = std::string("cannot start ") + kShell + ": " + std::strerror(failed);
    return -1;
  }
  ::fcntl(out.Read(), F_SETFL, O_NONBLOCK);
  ::fcntl(err.Read(), F_SETFL, O_NONBLOCK);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  std::string errorText;
  bool outOpen = true;
  bool errOpen = true;
  bool killed = false;
  int status = 0;
  bool ended = false;
  while (!ended) {
    pollfd fds[2] = {{outOpen ? out.Read() : -1, POLLIN, 0}, {errOpen ? err.Read() : -1, POLLIN, 0}};
    ::poll(fds, 2, static_cast<int>(kPollInterval.count()));
    if (outOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) outOpen = Drain(out.Read(), output);
    if (errOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) errOpen = Drain(err.Read(), &errorText);
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) ended = true;
    else if (done < 0 && errno != EINTR) break;
    if (!ended && !killed && timeoutSeconds > 0 && std::chrono::steady_clock::now() >= deadline) {
      ::kill(-pid, SIGKILL);
      killed = true;
    }
  }
  // What the command wrote before it ended; a background child that keeps
  // the pipes open does not hold the caller up.
  if (outOpen) Drain(out.Read(), output);
  if (errOpen) Drain(err.Read(), &errorText);
  if (!ended) {
    if (error != nullptr) *error = std::string("waitpid failed: ") + std::strerror(errno);
    return -1;
  }
  const int exitCode = StatusToExitCode(status);
  if (killed) errorText += "killed after " + std::to_string(timeoutSeconds) + " seconds";
  else if (exitCode != 0 && errorText.empty()) errorText = "command exited with status " + std::to_string(exitCode);
  if (error != nullptr) *error = errorText;
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 5, "Command [%s] exited with %d", commandLine.c_str(), exitCode);
  return exitCode;
}
