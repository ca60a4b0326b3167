#include "freeze_holder.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "abandoned_freezes.h"
#include "file_system_freeze.h"
#include "freeze_record.h"
#include "platform/sim/fs_util.h"
#include "verbs/error_report.h"

namespace blbjob {
namespace {

// What the holder tells the job command: once when the file systems are
// frozen (or could not be), once when they are thawed.
struct HolderReport {
  enum Stage : int32_t { kNone = 0, kFrozen = 1, kFreezeFailed = 2, kThawed = 3 };
  int32_t stage = kNone;
  int32_t mountPoint = -1;  // the one a failure concerns
  int32_t error = 0;        // its errno
  int32_t signal = 0;       // kThawed: the signal that ended the hold before it was asked to
};

constexpr int kHolderSocket = 3;
constexpr int kHolderRecord = 4;

// What the holder needs of its freeze's record, prepared before the fork:
// the child may not allocate.
struct RecordNames {
  const char* path;
  const char* folder;
};

// The signals that end the holder, each after thawing: those that end the
// job command as well, at their default action there or handled by it on its
// way to end (a command run under nohup, or in the background of a script,
// ignores SIGHUP or SIGINT and goes on copying). The others stay blocked
// while it holds the freeze and are dropped when it ends.
sigset_t EndingSignals(int deathSignal) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, deathSignal);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM}) {
    struct sigaction action;
    if (::sigaction(sig, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) sigaddset(&set, sig);
  }
  return set;
}

bool SendReport(int socket, const HolderReport& report) {
  return ::send(socket, &report, sizeof report, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof report);
}

// False when the holder ended (or was killed) before sending a whole report.
bool ReadReport(int socket, HolderReport& report) {
  char* into = reinterpret_cast<char*>(&report);
  for (size_t got = 0; got < sizeof report;) {
    const ssize_t read = ::recv(socket, into + got, sizeof report - got, 0);
    if (read < 0 && errno == EINTR) continue;
    if (read <= 0) return false;
    got += static_cast<size_t>(read);
  }
  return true;
}

// Thaws the first `count` frozen descriptors, marking each thawed; the first
// failure goes to report. Then, when none stays frozen, the record goes,
// while the holder still holds its lock: no record of a thawed freeze is left
// for another verb to find unlocked. Otherwise it stays for the next verb.
void ThawFrozen(const int* frozen, size_t count, const RecordNames& record, HolderReport& report) {
  bool thawed = true;
  for (size_t i = 0; i < count; ++i) {
    if (ThawFileSystem(frozen[i]) != ThawResult::kFailed) {
      AppendFreezeMark(kHolderRecord, FreezeMark::kUnfrozen, i);
      continue;
    }
    thawed = false;
    if (report.error != 0) continue;
    report.mountPoint = static_cast<int32_t>(i);
    report.error = errno;
  }
  if (thawed) RemoveFreezeRecord(record.path, record.folder);
}

// Whether the job command is gone: its end of the socket closed. It never
// sends before it is told the freeze is taken.
bool CommandGone(int socket, pid_t parent) {
  pollfd end = {socket, POLLIN, 0};
  return ::getppid() != parent || ::poll(&end, 1, 0) != 0;
}

// Freezes the mount point open at fd, marked in the record before (a kill
// during the freeze, which the kernel completes all the same, leaves it
// frozen) and after. What makes a freeze take long is writing out what
// waits to be written: that is done first, unfrozen, so that a command
// killed meanwhile leaves nothing frozen. False (errno set) when not frozen.
bool FreezeMarked(int fd, size_t index, int folder, int socket, pid_t parent) {
  ::syncfs(fd);
  if (CommandGone(socket, parent)) {
    errno = ECANCELED;
    return false;
  }
  while (::flock(folder, LOCK_EX) != 0)
    if (errno != EINTR) return false;
  bool frozen = AppendFreezeMark(kHolderRecord, FreezeMark::kFreezing, index);
  if (frozen) {
    frozen = FreezeFileSystem(fd);
    const int error = errno;
    AppendFreezeMark(kHolderRecord, frozen ? FreezeMark::kFrozen : FreezeMark::kUnfrozen, index);
    errno = error;
  }
  const int error = errno;
  ::flock(folder, LOCK_UN);
  errno = error;
  return frozen;
}

// The holder, in the forked child of a process that may run threads: only
// calls that are safe there (system calls, no allocation), then _exit.
[[noreturn]] void HoldFreeze(int socket, int recordFd, const RecordNames& record, pid_t parent,
                             const char* const* mountPoints, int* frozen, size_t count) {
  // A session of its own: a signal to the job command's process group (from
  // `timeout`, a job scheduler, a terminal) must not end the holder with it,
  // holding the freeze. The command's end still ends it, through the socket.
  ::setsid();
  // Nothing of the job command's stays open here but the socket and the
  // record's lock: a lock it holds would stay held, and whoever reads its
  // output would wait for this process too.
  const int socketCopy = ::fcntl(socket, F_DUPFD, kHolderRecord + 1);
  const int recordCopy = ::fcntl(recordFd, F_DUPFD, kHolderRecord + 1);
  if (socketCopy < 0 || recordCopy < 0) ::_exit(1);
  ::dup2(socketCopy, kHolderSocket);
  ::dup2(recordCopy, kHolderRecord);
  const int null = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd < kHolderSocket; ++fd)
    if (null >= 0 && null != fd) ::dup2(null, fd);
  if (::close_range(kHolderRecord + 1, ~0U, 0) != 0)
    for (int fd = kHolderRecord + 1; fd < 65536; ++fd) ::close(fd);
  // A signal of its own, which nothing else sends; a parent that ended
  // before the request took effect would send none.
  const int deathSignal = SIGRTMIN;
  if (::prctl(PR_SET_PDEATHSIG, deathSignal) != 0 || ::getppid() != parent) ::_exit(1);
  const sigset_t ending = EndingSignals(deathSignal);
  const int signals = ::signalfd(-1, &ending, SFD_CLOEXEC);

  const int folder = ::open(record.folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  HolderReport report;
  for (size_t i = 0; i < count; ++i) {
    frozen[i] = ::open(mountPoints[i], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (frozen[i] >= 0 && folder >= 0 && FreezeMarked(frozen[i], i, folder, kHolderSocket, parent)) continue;
    report.stage = HolderReport::kFreezeFailed;
    report.mountPoint = static_cast<int32_t>(i);
    report.error = errno;
    HolderReport thawed;
    ThawFrozen(frozen, i, record, thawed);
    SendReport(kHolderSocket, report);
    ::_exit(0);
  }
  report.stage = HolderReport::kFrozen;
  SendReport(kHolderSocket, report);

  // Until asked (a byte), the parent's end (end of stream, or the death
  // signal) or a signal; without a signal descriptor the signals stay blocked
  // and the socket alone ends the hold.
  pollfd waits[2] = {{kHolderSocket, POLLIN, 0}, {signals, POLLIN, 0}};
  report = HolderReport();
  for (;;) {
    const int ready = ::poll(waits, signals >= 0 ? 2 : 1, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || waits[0].revents != 0) break;
    if (waits[1].revents != 0) {
      signalfd_siginfo info;
      report.signal = ::read(signals, &info, sizeof info) == sizeof info ? static_cast<int32_t>(info.ssi_signo) : -1;
      break;
    }
  }
  ThawFrozen(frozen, count, record, report);
  report.stage = HolderReport::kThawed;
  SendReport(kHolderSocket, report);
  ::_exit(0);
}

}  // namespace

FreezeHolder::~FreezeHolder() {
  CQiError error = Thaw();
  if (error.IsError()) tools::PrintError("", error);
}

CQiError FreezeHolder::Freeze(const std::vector<std::string>& mountPoints, uint64_t jobId) {
  if (m_nPid >= 0) return FXErrorUtil::ErrorErrNo(FXCODELOC, EBUSY, "A freeze is held already");
  if (mountPoints.empty()) return CQiError();
  CQiError error = Record(mountPoints, jobId);
  if (error.IsError()) return error.Push(FXCODELOC);
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    error = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot make the freeze holder's socket: %s", std::strerror(errno));
    CloseRecord(true);
    return error;
  }
  // Prepared here: the child may not allocate.
  const std::string folder = platform::ParentOf(m_sRecord);
  const RecordNames record{m_sRecord.c_str(), folder.c_str()};
  std::vector<const char*> paths;
  for (const std::string& mountPoint : mountPoints) paths.push_back(mountPoint.c_str());
  std::vector<int> frozen(paths.size(), -1);
  // The child starts with every signal blocked, so none ends it between the
  // fork and its first freeze without a thaw.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) HoldFreeze(pair[1], m_nRecord, record, parent, paths.data(), frozen.data(), paths.size());
  const int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ::close(pair[1]);
  if (pid < 0) {
    ::close(pair[0]);
    CloseRecord(true);
    return FXErrorUtil::ErrorErrNo(FXCODELOC, forkError, "Cannot start the freeze holder: %s",
                                   std::strerror(forkError));
  }
  m_nPid = pid;
  m_nSocket = pair[0];
  HolderReport report;
  const bool reported = ReadReport(m_nSocket, report);
  if (reported && report.stage == HolderReport::kFrozen) {
    m_oMountPoints = mountPoints;
    return CQiError();
  }
  End();
  if (reported && report.stage == HolderReport::kFreezeFailed && report.mountPoint >= 0 &&
      static_cast<size_t>(report.mountPoint) < mountPoints.size()) {
    CloseRecord(false);
    return FXErrorUtil::ErrorErrNo(FXCODELOC, report.error, "Cannot freeze [%s]: %s",
                                   mountPoints[report.mountPoint].c_str(), std::strerror(report.error));
  }
  // Killed while freezing, the holder left what it had frozen, which its
  // marks tell: the rest may be frozen by somebody else.
  error = UndoRecord();
  if (error.IsError())
    return error.Push(FXCODELOC, "The freeze holder of [%s] was killed while freezing it", mountPoints.front().c_str());
  return FXErrorUtil::ErrorErrNo(FXCODELOC, ESRCH, "The freeze holder of [%s] ended before freezing it",
                                 mountPoints.front().c_str());
}

CQiError FreezeHolder::Record(const std::vector<std::string>& mountPoints, uint64_t jobId) {
  FreezeRecord record;
  record.jobId = jobId;
  record.boot = CurrentBootId();
  for (const std::string& mountPoint : mountPoints) {
    FrozenMount mount;
    if (!IdentifyMount(AT_FDCWD, mountPoint, mount))
      return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot freeze [%s]: %s", mountPoint.c_str(), std::strerror(errno));
    mount.path = mountPoint;
    record.mounts.push_back(mount);
  }
  CQiError error = CreateFreezeRecord(record, m_sRecord, m_nRecord);
  if (error.IsError()) return error.Push(FXCODELOC, "Cannot record the freeze of [%s]", mountPoints.front().c_str());
  return error;
}

void FreezeHolder::CloseRecord(bool remove) {
  if (m_sRecord.empty()) return;
  if (remove) RemoveFreezeRecord(m_sRecord);
  ::close(m_nRecord);
  m_nRecord = -1;
  m_sRecord.clear();
}

CQiError FreezeHolder::UndoRecord() {
  if (m_sRecord.empty()) return CQiError();
  CQiError result;
  FreezeRecord record;
  std::vector<UndoneMount> undone;
  if (!ReadFreezeRecord(m_nRecord, record))
    result = FXErrorUtil::ErrorErrNo(FXCODELOC, EIO, "Cannot read the freeze record [%s]", m_sRecord.c_str());
  else
    UndoFreezeRecord(m_sRecord, record, undone);
  for (const UndoneMount& mount : undone) {
    if (result.IsError()) break;
    if (mount.outcome == UndoneMount::kFailed)
      result = FXErrorUtil::ErrorErrNo(FXCODELOC, mount.error, "Cannot thaw [%s]: %s", mount.mount->path.c_str(),
                                       std::strerror(mount.error));
    else if (mount.outcome == UndoneMount::kBeingFrozen)
      result = FXErrorUtil::ErrorErrNo(FXCODELOC, EBUSY,
                                       "Cannot thaw [%s] now: another job is freezing it; the next verb thaws it",
                                       mount.mount->path.c_str());
  }
  // A record left stays for the next verb, whose lock it no longer holds.
  CloseRecord(false);
  return result;
}

void FreezeHolder::End() {
  ::close(m_nSocket);
  m_nSocket = -1;
  while (::waitpid(m_nPid, nullptr, 0) < 0 && errno == EINTR) {
  }
  m_nPid = -1;
}

CQiError FreezeHolder::Thaw() {
  if (m_nPid < 0) return CQiError();
  const char ask = 'T';
  ::send(m_nSocket, &ask, 1, MSG_NOSIGNAL);
  HolderReport report;
  const bool reported = ReadReport(m_nSocket, report) && report.stage == HolderReport::kThawed;
  End();
  const std::vector<std::string> mountPoints = std::move(m_oMountPoints);
  m_oMountPoints.clear();
  // Killed holding the freeze, the holder left it: thawed here instead.
  if (!reported) return UndoRecord();
  CloseRecord(false);
  if (report.error != 0 && report.mountPoint >= 0 && static_cast<size_t>(report.mountPoint) < mountPoints.size())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, report.error, "Cannot thaw [%s]: %s",
                                   mountPoints[report.mountPoint].c_str(), std::strerror(report.error));
  if (report.signal != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINTR,
                                   "The freeze holder was ended by signal %d and thawed [%s] before the copy ended",
                                   report.signal, mountPoints.front().c_str());
  return CQiError();
}

}  // namespace blbjob
