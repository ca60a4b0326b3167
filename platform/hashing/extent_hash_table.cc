#include "platform/hashing/extent_hash_table.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/sim/fault_table.h"

namespace {

constexpr size_t kBufferBytes = 1 << 16;
constexpr unsigned kErrorBadEntry = 774;
// Longest line an entry can have, its "\n" included.
constexpr size_t kMaxLine = ExtentHashItem::kNameWidth + 1 + ExtentHashItem::kHashLength + 1;

CQiError WriteAll(int fd, const char* bytes, size_t size, const std::string& path) {
  while (size > 0) {
    const ssize_t put = ::write(fd, bytes, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to write extent hash table [%s]", path.c_str());
    }
    bytes += put;
    size -= static_cast<size_t>(put);
  }
  return CQiError();
}

}  // namespace

CExtentHashTable_File::CExtentHashTable_File(const std::string& path) : m_sPath(path), m_oLines(kMaxLine - 1) {}

CExtentHashTable_File::~CExtentHashTable_File() {
  Close();
}

CQiError CExtentHashTable_File::Initialize(std::ios_base::openmode mode) {
  CQiError fault = platform::InjectedFault("CExtentHashTable_File::Initialize", FXCODELOC);
  if (fault.IsError()) return fault;
  CQiError closed = Close();
  if (closed.IsError()) return closed.Push(FXCODELOC);
  const bool reads = mode == std::ios_base::in;
  const bool appends = (mode & std::ios_base::app) != 0;
  const bool writes = !reads && (appends || (mode & std::ios_base::out) != 0);
  if (!reads && !writes)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Unsupported open mode %d for [%s]", static_cast<int>(mode),
                                   m_sPath.c_str());
  int flags = O_CLOEXEC;
  if (reads)
    flags |= O_RDONLY;
  else
    flags |= O_WRONLY | O_CREAT | (appends ? O_APPEND : O_TRUNC);
  m_oFile.reset(::open(m_sPath.c_str(), flags, 0644));
  if (m_oFile.get() < 0)
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open extent hash table [%s]", m_sPath.c_str());
  m_eMode = reads ? Mode::kRead : Mode::kWrite;
  m_sBuffer.clear();
  if (reads)
    m_oLines.Reset();
  else
    m_sBuffer.reserve(kBufferBytes + kMaxLine);
  m_oWriteError = CQiError();
  return CQiError();
}

CQiError CExtentHashTable_File::AddExtentEntry(ExtentHashItem& item) {
  CQiError fault = platform::InjectedFault("CExtentHashTable_File::AddExtentEntry", FXCODELOC);
  if (fault.IsError()) return fault;
  if (m_eMode != Mode::kWrite)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Extent hash table [%s] is not open for writing",
                                   m_sPath.c_str());
  if (m_oWriteError.IsError()) return CQiError(m_oWriteError).Push(FXCODELOC);
  if (!item.IsValid())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Invalid extent hash entry [%s|%s] for [%s]",
                                   item.GetExtentName().c_str(), item.GetExtentHash().c_str(), m_sPath.c_str());
  item.AppendLine(m_sBuffer);
  if (m_sBuffer.size() < kBufferBytes) return CQiError();
  return Flush();
}

CQiError CExtentHashTable_File::Flush() {
  if (m_eMode != Mode::kWrite) return CQiError();
  if (m_oWriteError.IsError()) return CQiError(m_oWriteError).Push(FXCODELOC);
  m_oWriteError = WriteAll(m_oFile.get(), m_sBuffer.data(), m_sBuffer.size(), m_sPath);
  m_sBuffer.clear();
  return m_oWriteError;
}

CQiError CExtentHashTable_File::Close() {
  if (m_eMode == Mode::kClosed) return CQiError();
  CQiError err = Flush();
  const bool wrote = m_eMode == Mode::kWrite;
  m_eMode = Mode::kClosed;
  m_sBuffer.clear();
  const int fd = m_oFile.release();
  if (::close(fd) != 0 && wrote && !err.IsError())
    err = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to close extent hash table [%s]", m_sPath.c_str());
  return err;
}

CQiError CExtentHashTable_File::GetNextExtentEntry(ExtentHashItem& item) {
  CQiError fault = platform::InjectedFault("CExtentHashTable_File::GetNextExtentEntry", FXCODELOC);
  if (fault.IsError()) return fault;
  if (m_eMode != Mode::kRead) {
    item.Reset();
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Extent hash table [%s] is not open for reading",
                                   m_sPath.c_str());
  }
  platform::FileLines::Kind kind = platform::FileLines::Kind::kEnd;
  const char* line = nullptr;
  size_t length = 0;
  CQiError err = m_oLines.Next(m_oFile.get(), m_sPath, kind, line, length);
  if (kind == platform::FileLines::Kind::kLine && !err.IsError()) {
    // Parsing sets every field, or resets the item on failure.
    err = item.Initialize(line, length);
    if (err.IsError()) err.Push(FXCODELOC, "In extent hash table [%s]", m_sPath.c_str());
    return err;
  }
  item.Reset();
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to read extent hash table [%s]", m_sPath.c_str());
  if (kind == platform::FileLines::Kind::kEnd) return CQiError();  // the end: item stays invalid
  // Too long to be an entry, or a last line without its line feed.
  const std::string shown(line, length < kMaxLine ? length : kMaxLine);
  return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorBadEntry, "Invalid extent hash entry [%s] in [%s]", shown.c_str(),
                                 m_sPath.c_str());
}
