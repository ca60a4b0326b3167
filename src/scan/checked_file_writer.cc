#include "scan/checked_file_writer.h"

#include <unistd.h>

#include <cerrno>

#include "platform/fs/fx_file.h"
#include "records/file_replacement.h"

namespace scan {

CheckedFileWriter::CheckedFileWriter(const std::string& path) : m_sPath(path) {}

CheckedFileWriter::~CheckedFileWriter() = default;

CQiError CheckedFileWriter::Open() {
  m_oError = CQiError();
  m_nUsed = 0;
  if (!m_pBuffer) m_pBuffer.reset(new char[kBufferBytes]);
  CQiError err = FXFile::KZCreateFile(m_sPath.c_str(), fxfile::kGenericWrite, fxfile::kShareRead, nullptr,
                                      fxfile::kCreateAlways, fxfile::kAttributeNormal, m_oFile);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

void CheckedFileWriter::WriteBytes(const char* bytes, size_t size) {
  if (m_oError.IsError() || size == 0) return;
  uint64_t written = 0;
  CQiError err = FXFile::KZWriteFile(m_oFile.get(), bytes, size, written);
  if (!err.IsError() && written != size)
    err = FXErrorUtil::ErrorErrNo(FXCODELOC, EIO, "Wrote %llu of %llu bytes", static_cast<unsigned long long>(written),
                                  static_cast<unsigned long long>(size));
  if (err.IsError()) m_oError = err.Push(FXCODELOC, "Failed to write [%s]", m_sPath.c_str());
}

void CheckedFileWriter::WriteBuffer() {
  WriteBytes(m_pBuffer.get(), m_nUsed);
  m_nUsed = 0;
}

char* CheckedFileWriter::RoomAfterWrite(size_t size) {
  WriteBuffer();
  if (!m_oError.IsError() && size > kBufferBytes)
    m_oError = FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "A record of %llu bytes does not fit the buffer of [%s]",
                                       static_cast<unsigned long long>(size), m_sPath.c_str());
  if (m_oError.IsError()) return nullptr;
  return m_pBuffer.get();
}

bool CheckedFileWriter::Append(const char* bytes, size_t size) {
  if (m_oError.IsError()) return false;
  if (m_nUsed + size > kBufferBytes) {
    WriteBuffer();
    // What fills a buffer by itself goes out from where it is.
    if (size >= kBufferBytes) {
      WriteBytes(bytes, size);
      return !m_oError.IsError();
    }
  }
  std::memcpy(m_pBuffer.get() + m_nUsed, bytes, size);
  m_nUsed += size;
  return !m_oError.IsError();
}

CQiError CheckedFileWriter::Close(bool sync) {
  if (m_oFile.get() < 0) return m_oError;
  WriteBuffer();
  if (sync && !m_oError.IsError()) {
    CQiError err = FXFile::KZFlushFile(m_oFile.get());
    if (err.IsError()) m_oError = err.Push(FXCODELOC, "Failed to flush [%s] to disk", m_sPath.c_str());
  }
  if (::close(m_oFile.release()) != 0 && !m_oError.IsError())
    m_oError = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to close [%s]", m_sPath.c_str());
  return m_oError;
}

ReplacingFileWriter::ReplacingFileWriter(const std::string& path)
    : m_sPath(path), m_oTemporary(records::TemporaryNameFor(path)) {}

ReplacingFileWriter::~ReplacingFileWriter() {
  if (!m_bPending) return;
  m_oTemporary.Close(false);
  unlink_utf(m_oTemporary.Path().c_str());
}

CQiError ReplacingFileWriter::Open() {
  m_bPending = true;
  CQiError err = m_oTemporary.Open();
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError ReplacingFileWriter::Commit() {
  CQiError err = m_oTemporary.Close(false);
  if (err.IsError()) return err.Push(FXCODELOC);
  m_bPending = false;
  // Syncs the temporary before the rename, or removes it on failure.
  err = records::ReplaceWithTemporary(m_oTemporary.Path(), m_sPath);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

}  // namespace scan
