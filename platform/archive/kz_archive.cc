#include "platform/archive/kz_archive.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/archive/archive_stream.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"

namespace {

constexpr size_t kRecordHead = 8;

void PutLittleEndian32(char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// The harness's default size when it set a sound one, else 64 KiB.
uint32_t DefaultBufferSize() {
  std::string text;
  if (!platform::ReadWholeFile(platform::ArchiveBufferSizePath(), text)) return KZArchive::kDefaultBufferSize;
  char* end = nullptr;
  errno = 0;
  unsigned long long size = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || size == 0 || size > KZArchive::kMaxBufferSize)
    return KZArchive::kDefaultBufferSize;
  return static_cast<uint32_t>(size);
}

}  // namespace

KZArchive::~KZArchive() {
  for (auto& buffer : m_mBuffers) delete[](buffer.first - kRecordHead);
  if (m_nStream >= 0) ::close(m_nStream);
}

int KZArchive::SetFileSignatureData(const void*, int) {
  int code = 0;
  if (platform::InjectedFaultCode("KZArchive::SetFileSignatureData", code)) return code;
  return 0;
}

char* KZArchive::allocateBuffer(uint32_t& size) {
  int code = 0;
  if (platform::InjectedFaultCode("KZArchive::allocateBuffer", code)) return nullptr;
  uint32_t granted = size == 0 ? DefaultBufferSize() : size;
  if (granted > kMaxBufferSize) return nullptr;
  char* payload = new char[kRecordHead + granted] + kRecordHead;
  m_mBuffers.emplace(payload, granted);
  size = granted;
  return payload;
}

int KZArchive::OpenStream() {
  if (m_nStream >= 0) return 0;
  const std::string path = platform::ArchiveStreamPath(m_nJobId);
  if (!platform::MakeDirectoriesDurably(platform::ParentOf(path))) return errno != 0 ? errno : EIO;
  const bool existed = ::access(path.c_str(), F_OK) == 0;
  m_nStream = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (m_nStream < 0) return errno;
  if (existed || platform::SyncFolder(platform::ParentOf(path))) return 0;
  const int error = errno;
  ::close(m_nStream);
  m_nStream = -1;
  return error;
}

int KZArchive::writeBuffer(char* buffer, uint32_t type, uint32_t length) {
  int code = 0;
  if (platform::InjectedFaultCode("KZArchive::writeBuffer", code)) return code;
  auto found = m_mBuffers.find(buffer);
  if (found == m_mBuffers.end() || length > found->second) return EINVAL;
  if (int opened = OpenStream(); opened != 0) return opened;
  // One write per record: a record is in the stream whole or, after a failed
  // write of the file, not at all as far as a reader of complete records sees.
  char* record = buffer - kRecordHead;
  PutLittleEndian32(record, type);
  PutLittleEndian32(record + 4, length);
  const size_t total = kRecordHead + length;
  size_t done = 0;
  while (done < total) {
    ssize_t n = ::write(m_nStream, record + done, total - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<size_t>(n);
  }
  m_mBuffers.erase(found);
  delete[] record;
  return 0;
}

int KZArchive::Commit() {
  if (m_nStream < 0) return 0;
  return ::fdatasync(m_nStream) == 0 ? 0 : errno;
}

void KZArchive::freeBuffer(char* buffer) {
  auto found = m_mBuffers.find(buffer);
  if (found == m_mBuffers.end()) return;
  m_mBuffers.erase(found);
  delete[](buffer - kRecordHead);
}
