#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/hashing/extent_iterator.h"
#include "platform/hashing/extent_name_converter.h"
#include "platform/sim/fault_table.h"

namespace {

constexpr size_t kChunk = 1 << 16;
constexpr unsigned kErrorBadLine = 774;
// Longest extent name a collect line may end with.
constexpr size_t kMaxNameDigits = 12;

}  // namespace

CExtCollectIterator::CExtCollectIterator() = default;
CExtCollectIterator::~CExtCollectIterator() = default;

CQiError CExtCollectIterator::Initialize(const std::string& path, unsigned long long start, int) {
  CQiError fault = platform::InjectedFault("CExtCollectIterator::Initialize", FXCODELOC);
  if (fault.IsError()) return fault;
  m_sPath = path;
  m_sBuffer.clear();
  m_sBuffer.reserve(kChunk + kMaxLine);
  m_nPos = 0;
  m_nLine = 0;
  m_bAtEnd = false;
  m_oFailure = CQiError();
  m_oFile.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (m_oFile.get() < 0) {
    m_oFailure = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open collect file [%s]", path.c_str());
    return m_oFailure;
  }
  while (m_nLine < start) {
    const void* newline = std::memchr(m_sBuffer.data() + m_nPos, '\n', m_sBuffer.size() - m_nPos);
    if (newline != nullptr) {
      m_nPos = static_cast<size_t>(static_cast<const char*>(newline) - m_sBuffer.data()) + 1;
      ++m_nLine;
      continue;
    }
    m_nPos = m_sBuffer.size();  // only the part of a line after the last line feed stays unread
    bool more = false;
    CQiError err = Fill(more);
    if (err.IsError()) return m_oFailure = err;
    if (!more) {
      m_bAtEnd = true;  // fewer lines than the start
      break;
    }
  }
  return CQiError();
}

CQiError CExtCollectIterator::Fill(bool& more) {
  m_sBuffer.erase(0, m_nPos);
  m_nPos = 0;
  const size_t kept = m_sBuffer.size();
  m_sBuffer.resize(kept + kChunk);
  ssize_t got;
  do {
    got = ::read(m_oFile.get(), &m_sBuffer[kept], kChunk);
  } while (got < 0 && errno == EINTR);
  m_sBuffer.resize(kept + (got > 0 ? static_cast<size_t>(got) : 0));
  if (got < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to read collect file [%s]", m_sPath.c_str());
  more = got > 0;
  return CQiError();
}

CQiError CExtCollectIterator::GetNextExtent(unsigned long long& extent, bool& found) {
  found = false;
  if (m_oFailure.IsError()) return m_oFailure;
  if (m_oFile.get() < 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Collect iterator used before it was initialized");
  if (m_bAtEnd) return CQiError();
  size_t length = 0;
  for (;;) {
    const size_t available = m_sBuffer.size() - m_nPos;
    const void* newline =
        std::memchr(m_sBuffer.data() + m_nPos, '\n', available < kMaxLine + 1 ? available : kMaxLine + 1);
    if (newline != nullptr) {
      length = static_cast<size_t>(static_cast<const char*>(newline) - m_sBuffer.data()) - m_nPos;
      break;
    }
    if (available > kMaxLine) {
      length = available;
      break;
    }
    bool more = false;
    CQiError err = Fill(more);
    if (err.IsError()) return m_oFailure = err;
    if (more) continue;
    if (m_sBuffer.size() == m_nPos) {
      m_bAtEnd = true;
      return CQiError();
    }
    length = m_sBuffer.size() - m_nPos;  // a last line without its line feed
    break;
  }
  const char* line = m_sBuffer.data() + m_nPos;
  const char* slash = length <= kMaxLine ? static_cast<const char*>(::memrchr(line, '/', length)) : nullptr;
  const size_t nameLength = slash != nullptr ? static_cast<size_t>(line + length - slash - 1) : 0;
  unsigned long long id = ExtentNameConverter::kInvalidExtent;
  if (nameLength >= 1 && nameLength <= kMaxNameDigits)
    id = ExtentNameConverter::Extent_base32_to_dec(std::string(slash + 1, nameLength));
  if (id == ExtentNameConverter::kInvalidExtent) {
    const std::string shown(line, length < 256 ? length : 256);
    return m_oFailure = FXErrorUtil::ErrorWin32(FXCODELOC, kErrorBadLine, "Invalid collect line [%s] at line %llu of [%s]",
                                                shown.c_str(), m_nLine, m_sPath.c_str());
  }
  m_nPos += length + 1;
  if (m_nPos > m_sBuffer.size()) m_nPos = m_sBuffer.size();
  ++m_nLine;
  extent = id;
  found = true;
  return CQiError();
}
