#include "interrupt_notice.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "held_snapshots.h"
#include "platform/harness/job_harness.h"
#include "platform/process/shell_quote.h"

namespace blbjob {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];

// What the handler may touch: the pipe to the watcher, and whether a signal
// came already.
int g_noticePipe[2] = {-1, -1};
std::atomic<bool> g_signalled{false};
struct sigaction g_previous[kSignalCount];
bool g_installed[kSignalCount] = {};

void EndBy(int sig) {
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// A second signal while the first is told ends the command at once.
void Noted(int sig) {
  if (g_signalled.exchange(true)) EndBy(sig);
  const unsigned char byte = static_cast<unsigned char>(sig);
  if (::write(g_noticePipe[1], &byte, 1) != 1) EndBy(sig);
}

// A job argument as the shell reads it back.
std::string ShellWord(const std::string& word) {
  const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::string("_-./:=,+@%").find(c) != std::string::npos;
  });
  return plain ? word : platform::ShellQuote(word);
}

// The snapshots the job recorded, each once: the job record is read, not the
// driver, whose lock a copy under way may hold for long.
platform::StateDbResult ReadRecordedSnapshots(uint64_t jobId, std::vector<std::string>& snapshots) {
  std::vector<blbsim::JobVolumeRecord> volumes;
  const platform::StateDbResult read = blbsim::JobVolumes(jobId, volumes);
  snapshots = RecordedSnapshots(volumes);
  return read;
}

}  // namespace

InterruptNotice::InterruptNotice(uint64_t jobId, const tools::Args& jobArgs) : m_nJobId(jobId), m_oJobArgs(jobArgs) {
  if (::pipe2(g_noticePipe, O_CLOEXEC) != 0) return;
  g_signalled = false;
  m_oWatcher = std::thread([this, readEnd = g_noticePipe[0]] { Watch(readEnd); });
  for (size_t i = 0; i < kSignalCount; ++i) {
    // A signal the command was started to ignore (nohup, a script's
    // background) stays ignored.
    if (::sigaction(kSignals[i], nullptr, &g_previous[i]) != 0 || g_previous[i].sa_handler == SIG_IGN) continue;
    struct sigaction action = {};
    action.sa_handler = Noted;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    g_installed[i] = ::sigaction(kSignals[i], &action, nullptr) == 0;
  }
}

InterruptNotice::~InterruptNotice() {
  for (size_t i = 0; i < kSignalCount; ++i)
    if (g_installed[i]) ::sigaction(kSignals[i], &g_previous[i], nullptr), g_installed[i] = false;
  if (!m_oWatcher.joinable()) return;
  // A signal that came before the handlers went is told still.
  if (!g_signalled.exchange(true)) {
    const unsigned char stop = 0;
    while (::write(g_noticePipe[1], &stop, 1) < 0 && errno == EINTR) {
    }
  }
  m_oWatcher.join();
  ::close(g_noticePipe[0]);
  ::close(g_noticePipe[1]);
  g_noticePipe[0] = g_noticePipe[1] = -1;
}

void InterruptNotice::Watch(int readEnd) {
  unsigned char sig = 0;
  while (::read(readEnd, &sig, 1) < 0 && errno == EINTR) {
  }
  if (sig == 0) return;
  std::vector<std::string> held;
  const platform::StateDbResult read = ReadRecordedSnapshots(m_nJobId, held);
  std::string told = "blbjob run: interrupted by signal " + std::to_string(sig) + "; job " + std::to_string(m_nJobId);
  if (read && held.empty()) {
    told += " holds no snapshot\n";
  } else {
    if (!read)
      told += " may still hold snapshots (its record cannot be read: " + read.Why() + ")";
    else
      told += held.size() == 1 ? " still holds snapshot" : " still holds snapshots";
    for (size_t i = 0; i < held.size(); ++i) told += (i == 0 ? " " : ", ") + held[i];
    told += "; free " + std::string(held.size() == 1 ? "it" : "them") + " with: blbjob release --";
    for (const std::string& argument : m_oJobArgs) told += " " + ShellWord(argument);
    told += "\n";
  }
  std::fputs(told.c_str(), stderr);
  std::fflush(stderr);
  EndBy(sig);
}

}  // namespace blbjob
