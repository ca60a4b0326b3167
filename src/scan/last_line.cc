#include "scan/last_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/memory/auto_handle.h"

namespace scan {
namespace {

constexpr off_t kFirstWindow = 128;

bool ReadFully(int fd, std::string& into, off_t offset) {
  size_t done = 0;
  while (done < into.size()) {
    const ssize_t got = ::pread(fd, &into[done], into.size() - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) errno = EIO;  // the file shrank under the read
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

bool ReadLastLine(const std::string& path, std::string& line) {
  line.clear();
  auto_handle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return false;
  const off_t size = ::lseek(file.get(), 0, SEEK_END);
  if (size < 0) return false;
  if (size == 0) return true;
  std::string window;
  for (off_t length = kFirstWindow;; length *= 2) {
    length = std::min(length, size);
    window.resize(static_cast<size_t>(length));
    if (!ReadFully(file.get(), window, size - length)) return false;
    if (length == size || std::count(window.begin(), window.end(), '\n') >= 2) break;
  }
  // The last byte is normally the final line feed: the search starts before it.
  const size_t from = window.size() >= 2 ? window.size() - 2 : std::string::npos;
  const size_t newline = from == std::string::npos ? std::string::npos : window.rfind('\n', from);
  line = newline == std::string::npos ? window : window.substr(newline + 1);
  return true;
}

}  // namespace scan
