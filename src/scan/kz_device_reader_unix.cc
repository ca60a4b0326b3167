#include "scan/kz_device_reader_unix.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/log/ev_debug.h"
#include "scan/device_read_call.h"

namespace {

bool Aligned(unsigned long long value, unsigned alignment) { return value % alignment == 0; }

}  // namespace

KzDeviceReaderUnix::KzDeviceReaderUnix(TarvosJobInfo& job) : KzDeviceReader(job) {}

KzDeviceReaderUnix::~KzDeviceReaderUnix() {
  if (m_bInitialized && m_nFd >= 0) CloseDevice();
  CloseDescriptors();
}

void KzDeviceReaderUnix::CloseDescriptors() {
  if (m_nFd >= 0) ::close(m_nFd);
  if (m_nDirectFd >= 0) ::close(m_nDirectFd);
  m_nFd = m_nDirectFd = -1;
  m_bDirectUsable = false;
}

CQiError KzDeviceReaderUnix::OpenDevice() {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 1, "Will use block device for volume [%s]", m_oDeviceInfo.GetSourceVolName().c_str());
  if (!m_bInitialized) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Device reader not initialized yet");
  log.DebugLvl(__FUNCTION__, 1, "Opening Block device[%s]", m_sDevicePath.c_str());
  CloseDescriptors();  // a second InitDevice must not leak the first device
  m_nFd = ::open64(m_sDevicePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (m_nFd < 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, errno, "failed to open block snap device %s", m_sDevicePath.c_str());

  struct stat64 status;
  int sectorSize = 0;
  if (::fstat64(m_nFd, &status) != 0 || !S_ISBLK(status.st_mode)) return CQiError();
  m_nDirectFd = ::open64(m_sDevicePath.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
  if (m_nDirectFd >= 0 && ::ioctl(m_nDirectFd, BLKSSZGET, &sectorSize) == 0 && sectorSize >= 512) {
    m_nDirectAlignment = static_cast<unsigned>(sectorSize);
    m_bDirectUsable = true;
  } else if (m_nDirectFd >= 0) {
    ::close(m_nDirectFd);
    m_nDirectFd = -1;
  }
  return CQiError();
}

ssize_t KzDeviceReaderUnix::ReadAt(char* buffer, size_t count, unsigned long long offset) {
  if (m_bDirectUsable.load(std::memory_order_relaxed) &&
      Aligned(reinterpret_cast<uintptr_t>(buffer), m_nDirectAlignment) && Aligned(offset, m_nDirectAlignment) &&
      Aligned(count, m_nDirectAlignment)) {
    const ssize_t got = scan::DevicePread(m_nDirectFd, buffer, count, static_cast<off64_t>(offset));
    if (got >= 0 || errno != EINVAL) return got;
    m_bDirectUsable = false;  // the device refuses direct reads after all
  }
  return scan::DevicePread(m_nFd, buffer, count, static_cast<off64_t>(offset));
}

CQiError KzDeviceReaderUnix::Read(unsigned long long startSector, unsigned long sectorCount, char* buffer,
                                  unsigned long& sectorsRead) {
  sectorsRead = 0;
  if (!m_bInitialized || m_nFd < 0) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Device not initialized yet");
  if (startSector > ~0ull / kSectorSize / 2 || sectorCount > ~0ull / kSectorSize / 2)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Invalid read of %lu sectors from sector %llu on volume=%s",
                                   sectorCount, startSector, m_sDevicePath.c_str());
  unsigned long long offset = startSector * kSectorSize;
  size_t remaining = static_cast<size_t>(sectorCount) * kSectorSize;
  for (;;) {
    const ssize_t got = ReadAt(buffer, remaining, offset);
    if (got == 0 || (got > 0 && static_cast<size_t>(got) == remaining)) {
      offset += static_cast<unsigned long long>(got);
      sectorsRead = static_cast<unsigned long>(offset / kSectorSize - startSector);
      return CQiError();
    }
    if (got > 0) {
      buffer += got;
      offset += static_cast<unsigned long long>(got);
      remaining -= static_cast<size_t>(got);
      continue;
    }
    if (errno == EINTR) continue;
    return FXErrorUtil::ErrorErrNo(FXCODELOC, errno, "failed to read on volume=%s from offset=%llu size=%lu",
                                   m_sDevicePath.c_str(), offset, static_cast<unsigned long>(remaining));
  }
}

CQiError KzDeviceReaderUnix::Write(unsigned long long startSector, unsigned long sectorCount, char* buffer,
                                   unsigned long& sectorsWritten) {
  if (!m_bInitialized || m_nFd < 0) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Device not initialized yet");
  const unsigned long long offset = startSector * kSectorSize;
  const size_t size = static_cast<size_t>(sectorCount) * kSectorSize;
  errno = 0;
  const ssize_t put = ::pwrite64(m_nFd, buffer, size, static_cast<off64_t>(offset));
  if (put < 0 || static_cast<size_t>(put) < size)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, errno, "failed to written to volume=%s from offset=%llu size=%lu",
                                   m_sDevicePath.c_str(), offset, static_cast<unsigned long>(size));
  sectorsWritten = sectorCount;
  return CQiError();
}

CQiError KzDeviceReaderUnix::Seek(unsigned long long offset, int whence) {
  if (!m_bInitialized || m_nFd < 0) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Device not initialized yet");
  if (::lseek64(m_nFd, static_cast<off64_t>(offset), whence) < 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, errno, "failed to seek on volume=%s offset=%lld", m_sDevicePath.c_str(),
                                   static_cast<long long>(offset));
  return CQiError();
}

CQiError KzDeviceReaderUnix::CloseDevice() {
  if (!m_bInitialized || m_nFd < 0) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Device reader not initialized yet");
  CloseDescriptors();
  return CQiError();
}
