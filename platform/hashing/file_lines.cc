#include "platform/hashing/file_lines.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

constexpr size_t kChunk = 1 << 16;

}  // namespace

FileLines::FileLines(size_t maxLine) : m_nMaxLine(maxLine) {}

void FileLines::Reset() {
  m_sBuffer.clear();
  m_sBuffer.reserve(kChunk + m_nMaxLine + 1);
  m_nPos = 0;
}

CQiError FileLines::Fill(int fd, const std::string& path, bool& more) {
  m_sBuffer.erase(0, m_nPos);
  m_nPos = 0;
  const size_t kept = m_sBuffer.size();
  m_sBuffer.resize(kept + kChunk);
  ssize_t got;
  do {
    got = ::read(fd, &m_sBuffer[kept], kChunk);
  } while (got < 0 && errno == EINTR);
  m_sBuffer.resize(kept + (got > 0 ? static_cast<size_t>(got) : 0));
  if (got < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to read [%s]", path.c_str());
  more = got > 0;
  return CQiError();
}

CQiError FileLines::Next(int fd, const std::string& path, Kind& kind, const char*& text, size_t& length) {
  for (;;) {
    text = m_sBuffer.data() + m_nPos;
    length = m_sBuffer.size() - m_nPos;
    const void* newline = std::memchr(text, '\n', length < m_nMaxLine + 1 ? length : m_nMaxLine + 1);
    if (newline != nullptr) {
      length = static_cast<size_t>(static_cast<const char*>(newline) - text);
      m_nPos += length + 1;
      kind = Kind::kLine;
      return CQiError();
    }
    if (length > m_nMaxLine) {
      kind = Kind::kTooLong;
      return CQiError();
    }
    bool more = false;
    CQiError err = Fill(fd, path, more);
    if (err.IsError() || more) {
      if (err.IsError()) return err;
      continue;
    }
    text = m_sBuffer.data() + m_nPos;
    length = m_sBuffer.size() - m_nPos;
    m_nPos = m_sBuffer.size();
    kind = length > 0 ? Kind::kUnended : Kind::kEnd;
    return CQiError();
  }
}

CQiError FileLines::Skip(int fd, const std::string& path, bool& skipped) {
  for (;;) {
    const void* newline = std::memchr(m_sBuffer.data() + m_nPos, '\n', m_sBuffer.size() - m_nPos);
    if (newline != nullptr) {
      m_nPos = static_cast<size_t>(static_cast<const char*>(newline) - m_sBuffer.data()) + 1;
      skipped = true;
      return CQiError();
    }
    const bool partial = m_nPos < m_sBuffer.size();
    m_nPos = m_sBuffer.size();  // the part of the line read so far is not kept
    bool more = false;
    CQiError err = Fill(fd, path, more);
    if (err.IsError()) return err;
    if (!more) {
      skipped = partial;
      return CQiError();
    }
  }
}

}  // namespace platform
