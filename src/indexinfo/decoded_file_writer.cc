#include "indexinfo/decoded_file_writer.h"

#include <cerrno>

#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "platform/text/ascii85.h"
#include "records/file_replacement.h"

namespace indexinfo {
namespace {

constexpr char kChunkStart[] = "<~";
constexpr char kChunkEnd[] = "~>";
// Every chunk but the empty one is longer: a remainder this short holds no
// bytes of the file.
constexpr size_t kShortestRemainder = 4;

// Writes the decoded chunks into an open file; the first failure, logged.
CQiError WriteChunks(int handle, const std::string& dataText, const std::string& outputFile) {
  EvDebug log;
  std::string bytes;
  size_t start = 0;
  while (dataText.size() - start > kShortestRemainder) {
    // The end marker is looked for past the start marker: a chunk whose
    // first encoded character is '>' begins "<~>", which holds one too.
    const size_t end = dataText.find(kChunkEnd, start + sizeof(kChunkStart) - 1);
    const size_t next = end == std::string::npos ? dataText.size() : end + sizeof(kChunkEnd) - 1;
    CQiError err = CAscii85::Decode(dataText.data() + start, next - start, bytes);
    if (err.IsError()) {
      log.Error(__FUNCTION__, "failed to decode data for output file '%s':%s", outputFile.c_str(),
                err.AsString().c_str());
      return err.Push(FXCODELOC);
    }
    uint64_t written = 0;
    err = FXFile::KZWriteFile(handle, bytes.data(), bytes.size(), written);
    if (!err.IsError() && written != bytes.size())
      err = FXErrorUtil::ErrorErrNo(FXCODELOC, EIO, "Wrote %llu of %zu bytes", static_cast<unsigned long long>(written),
                                    bytes.size());
    if (err.IsError()) {
      log.Error(__FUNCTION__, "failed to write to output file '%s':%s", outputFile.c_str(), err.AsString().c_str());
      return err.Push(FXCODELOC);
    }
    start = next;
  }
  return CQiError();
}

}  // namespace

CQiError WriteDecodedFile(const std::string& dataText, const std::string& outputFile) {
  EvDebug log;
  const std::string temporary = records::TemporaryNameFor(outputFile);
  auto_handle file;
  CQiError err = FXFile::KZCreateFile(temporary.c_str(), fxfile::kGenericWrite, fxfile::kShareNone, nullptr,
                                      fxfile::kCreateAlways, fxfile::kAttributeNormal, file);
  if (err.IsError()) {
    log.Error(__FUNCTION__, "failed to create output file '%s':%s", outputFile.c_str(), err.AsString().c_str());
    return err.Push(FXCODELOC);
  }
  err = WriteChunks(file.get(), dataText, outputFile);
  file.reset();
  if (err.IsError()) {
    unlink_utf(temporary.c_str());
    return err.Push(FXCODELOC);
  }
  err = records::ReplaceWithTemporary(temporary, outputFile);
  if (err.IsError()) {
    log.Error(__FUNCTION__, "failed to write to output file '%s':%s", outputFile.c_str(), err.AsString().c_str());
    return err.Push(FXCODELOC);
  }
  return CQiError();
}

}  // namespace indexinfo
