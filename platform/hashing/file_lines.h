#pragma once
// A file read a large chunk at a time and handed out line by line: the
// extent-hashing library's tables and collect files hold millions of short
// lines, so neither a read nor an allocation happens per line.
#include <string>

#include "platform/error/qi_error.h"

namespace platform {

class FileLines {
 public:
  enum class Kind {
    kLine,      // a line ended by a line feed
    kUnended,   // the file's last bytes, without a line feed
    kEnd,       // nothing left
    kTooLong,   // no line feed within the longest line (nothing consumed)
  };

  // maxLine: the longest line taken, its line feed not counted.
  explicit FileLines(size_t maxLine);

  // Forgets what was read: the next call reads the descriptor anew.
  void Reset();
  // The next line, its line feed left out; the text stays valid until the
  // next call. A read failure names the path.
  CQiError Next(int fd, const std::string& path, Kind& kind, const char*& text, size_t& length);
  // Moves past the next line feed, however long the line; `skipped` false at
  // the end of the file (a last line without a line feed is skipped too).
  CQiError Skip(int fd, const std::string& path, bool& skipped);

 private:
  // Reads another chunk behind what is not handed out yet; `more` false at
  // the end of the file.
  CQiError Fill(int fd, const std::string& path, bool& more);

  size_t m_nMaxLine;
  std::string m_sBuffer;
  size_t m_nPos = 0;
};

}  // namespace platform
