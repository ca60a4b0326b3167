#pragma once
// The lines of one volume's collect file: the volume path without its
// trailing delimiter, "/", the extent's 8-digit name and "\n" ("/00000005"
// for the root volume). Lines are built in the file's buffer: a line costs a
// copy of the volume path and eight digits, and allocates nothing.
#include <string>

#include "platform/hashing/extent_name_converter.h"
#include "platform/text/fx_string.h"
#include "scan/checked_file_writer.h"

namespace scan {

class CollectLineWriter {
 public:
  static constexpr unsigned kNameWidth = 8;
  enum Result { kWritten, kNoName, kWriteFailed };

  CollectLineWriter(CheckedFileWriter& file, const std::string& volume) : m_rFile(file), m_sPrefix(volume) {
    FXPath::RemoveTrailingDelimiter(m_sPrefix);
    m_sPrefix += "/";
    m_nLineLength = m_sPrefix.size() + kNameWidth + 1;
  }

  // kWriteFailed once the file failed; Close on the file tells why.
  Result Write(unsigned long long extent) {
    // One byte more than the line: the name is written with its terminator,
    // which the line end then replaces.
    char* room = m_rFile.Room(m_nLineLength + 1);
    if (room == nullptr) return kWriteFailed;
    std::memcpy(room, m_sPrefix.data(), m_sPrefix.size());
    if (!ExtentNameConverter::Extent_dec_to_base32_v2(extent, room + m_sPrefix.size(), kNameWidth)) return kNoName;
    room[m_nLineLength - 1] = '\n';
    m_pLastLine = room;
    m_rFile.Commit(m_nLineLength);
    return kWritten;
  }

  // The last line written, without its line end (for log lines).
  std::string LastLine() const { return m_pLastLine ? std::string(m_pLastLine, m_nLineLength - 1) : std::string(); }

 private:
  CheckedFileWriter& m_rFile;
  FXString m_sPrefix;
  size_t m_nLineLength = 0;
  const char* m_pLastLine = nullptr;
};

}  // namespace scan
