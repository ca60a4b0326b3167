#pragma once
// A file written through one large buffer where nothing that fails goes
// unnoticed: every write, the flush to disk and the close are checked, and
// the first failure sticks until Close reports it. Collect files run to
// hundreds of megabytes, so callers build their lines straight into the
// buffer (Room, then Commit) and test for failure once, at Close.
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "platform/error/qi_error.h"
#include "platform/memory/auto_handle.h"

namespace scan {

class CheckedFileWriter {
 public:
  static constexpr size_t kBufferBytes = 1 << 20;

  explicit CheckedFileWriter(const std::string& path);
  // Closes a file still open (a failed path) without reporting anything.
  ~CheckedFileWriter();
  CheckedFileWriter(const CheckedFileWriter&) = delete;
  CheckedFileWriter& operator=(const CheckedFileWriter&) = delete;

  // Creates the file, or truncates it.
  CQiError Open();
  // Room for `size` more bytes (at most kBufferBytes), writing the buffer out
  // first when it is too full; null once a write failed.
  char* Room(size_t size) {
    if (m_nUsed + size <= kBufferBytes) return m_pBuffer.get() + m_nUsed;
    return RoomAfterWrite(size);
  }
  void Commit(size_t size) { m_nUsed += size; }
  // False once a write failed.
  bool Append(const char* bytes, size_t size);
  bool Append(const std::string& text) { return Append(text.data(), text.size()); }
  // Writes out the buffer, syncs the file to disk when asked and closes it.
  // The first failure since Open, if any.
  CQiError Close(bool sync);

  const std::string& Path() const { return m_sPath; }

 private:
  char* RoomAfterWrite(size_t size);
  void WriteBytes(const char* bytes, size_t size);
  void WriteBuffer();

  std::string m_sPath;
  auto_handle m_oFile;
  std::unique_ptr<char[]> m_pBuffer;
  size_t m_nUsed = 0;
  CQiError m_oError;
};

// A file that appears under its name only once it is complete: written under
// a temporary name of its own beside it and renamed over it by Commit. A
// writer dropped without Commit removes its temporary and leaves the file as
// it was.
class ReplacingFileWriter {
 public:
  explicit ReplacingFileWriter(const std::string& path);
  ~ReplacingFileWriter();
  ReplacingFileWriter(const ReplacingFileWriter&) = delete;
  ReplacingFileWriter& operator=(const ReplacingFileWriter&) = delete;

  CQiError Open();
  void Append(const std::string& text) { m_oTemporary.Append(text); }
  // Closes, syncs and renames the temporary over the file.
  CQiError Commit();

 private:
  std::string m_sPath;
  CheckedFileWriter m_oTemporary;
  bool m_bPending = false;
};

}  // namespace scan
