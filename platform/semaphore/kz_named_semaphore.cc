#include "platform/semaphore/kz_named_semaphore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/error/qi_error.h"
#include "platform/settings/settings.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"

namespace {

[[noreturn]] void Fail(const std::string& what, int code) {
  throw KzException(what, "KzNamedSemaphore::KzNamedSemaphore", __FILE__, __LINE__, code);
}

int OpenLockFile(const std::string& path, int flags) {
  int fd;
  do fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | flags, 0666);
  while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

KzNamedSemaphore::KzNamedSemaphore(const std::string& name, int initialCount, bool* created, bool openExisting) {
  if (created != nullptr) *created = false;
  int injected = 0;
  if (platform::InjectedFaultCode("KzNamedSemaphore::KzNamedSemaphore", injected))
    Fail("Injected fault in KzNamedSemaphore::KzNamedSemaphore", injected);
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos)
    Fail("Invalid semaphore name [" + name + "]", EINVAL);
  if (initialCount != 1) Fail("Only a semaphore of count 1 can be made, name [" + name + "]", EINVAL);
  const std::string folder = platform::Settings::StatePath("locks");
  if (!platform::MakeDirectories(folder)) Fail("Cannot make the folder [" + folder + "]", errno ? errno : EIO);
  m_sPath = folder + "/" + name;

  int fd = openExisting ? -1 : OpenLockFile(m_sPath, O_CREAT | O_EXCL);
  if (fd >= 0) {
    if (created != nullptr) *created = true;
  } else if (openExisting || errno == EEXIST) {
    fd = OpenLockFile(m_sPath, 0);
  }
  if (fd < 0) {
    const int error = errno;
    Fail("Cannot open the semaphore [" + m_sPath + "]: " + std::strerror(error), error);
  }
  ::close(fd);
}

KzNamedSemaphore::~KzNamedSemaphore() {
  for (int fd : m_vHeld) ::close(fd);  // closing the last descriptor drops the flock
}

int KzNamedSemaphore::wait() {
  int injected = 0;
  if (platform::InjectedFaultCode("KzNamedSemaphore::wait", injected)) return injected;
  const int fd = OpenLockFile(m_sPath, O_CREAT);
  if (fd < 0) return errno ? errno : EIO;
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    ::close(fd);
    return error;
  }
  std::lock_guard<std::mutex> guard(m_oMutex);
  m_vHeld.push_back(fd);
  return 0;
}

int KzNamedSemaphore::release(int count) {
  std::lock_guard<std::mutex> guard(m_oMutex);
  if (m_vHeld.empty() || count < 1) return EINVAL;
  for (; count > 0 && !m_vHeld.empty(); --count) {
    ::close(m_vHeld.back());
    m_vHeld.pop_back();
  }
  return 0;
}
