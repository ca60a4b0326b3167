#include "scan/collect_failure_mark_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/memory/auto_handle.h"
#include "records/file_replacement.h"
#include "scan/checked_file_writer.h"

namespace scan {
namespace {

constexpr size_t kReadBytes = 4096;
constexpr size_t kMostLines = 1 + CollectFailureMark::kKeysKept;

// Lines as std::getline gives them (a last line without its line feed
// counts), but refused as soon as one grows past the limit or there are
// more than a mark holds.
class BoundedLines {
 public:
  bool Take(const char* bytes, size_t size) {
    while (size > 0) {
      const char* end = static_cast<const char*>(std::memchr(bytes, '\n', size));
      const size_t part = end == nullptr ? size : static_cast<size_t>(end - bytes);
      if (m_sLine.size() + part > CollectFailureMark::kLongestLine) return false;
      m_sLine.append(bytes, part);
      if (end == nullptr) return true;
      if (!Finish()) return false;
      bytes += part + 1;
      size -= part + 1;
    }
    return true;
  }
  // The last line, if it has no line feed.
  bool End() { return m_sLine.empty() || Finish(); }
  std::vector<std::string>& Lines() { return m_vLines; }

 private:
  bool Finish() {
    if (m_vLines.size() == kMostLines) return false;
    m_vLines.push_back(std::move(m_sLine));
    m_sLine.clear();
    return true;
  }

  std::string m_sLine;
  std::vector<std::string> m_vLines;
};

std::string TextOf(const CollectFailureMark& mark) {
  std::string text = mark.volume + "\n";
  for (const std::string& key : mark.keys) text += key + "\n";
  return text;
}

// A folder at the mark's path trades places with the finished temporary in
// one rename, so that some mark is there at every moment.
CQiError ReplaceFolder(const std::string& path, const std::string& text) {
  const std::string temporary = records::TemporaryNameFor(path);
  CheckedFileWriter file(temporary);
  CQiError err = file.Open();
  if (!err.IsError()) {
    file.Append(text);
    err = file.Close(true);
  }
  if (err.IsError()) {
    ::unlink(temporary.c_str());
    return err.Push(FXCODELOC);
  }
  err = records::ExchangeTemporaryForFolder(temporary, path);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

}  // namespace

bool CollectFailureMark::Holds(const std::string& key) const {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

bool CollectFailureMark::Add(const std::string& key) {
  if (Holds(key)) return false;
  keys.push_back(key);
  if (keys.size() > kKeysKept) keys.erase(keys.begin(), keys.end() - kKeysKept);
  return true;
}

MarkFound ReadCollectFailureMark(const std::string& path, CollectFailureMark& mark) {
  mark = CollectFailureMark();
  // Not blocking: a pipe at the path must not hold the scan up.
  auto_handle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return errno == ENOENT ? MarkFound::kNone : MarkFound::kRefused;
  struct stat info;
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return MarkFound::kRefused;
  BoundedLines lines;
  char buffer[kReadBytes];
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return MarkFound::kRefused;
    if (got == 0) break;
    if (!lines.Take(buffer, static_cast<size_t>(got))) return MarkFound::kRefused;
  }
  if (!lines.End() || lines.Lines().empty()) return MarkFound::kRefused;
  mark.volume = lines.Lines().front();
  mark.keys.assign(lines.Lines().begin() + 1, lines.Lines().end());
  return MarkFound::kMark;
}

CQiError WriteCollectFailureMark(const std::string& path, const CollectFailureMark& mark) {
  struct stat info;
  if (::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return ReplaceFolder(path, TextOf(mark));
  ReplacingFileWriter file(path);
  CQiError err = file.Open();
  if (!err.IsError()) {
    file.Append(TextOf(mark));
    err = file.Commit();
  }
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

}  // namespace scan
