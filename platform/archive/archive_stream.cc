#include "platform/archive/archive_stream.h"

#include <cerrno>
#include <cstring>

#include "platform/settings/settings.h"
#include "platform/sim/fs_util.h"

namespace platform {

namespace {

uint32_t LittleEndian32(const std::string& text, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(text[at + i]);
  return value;
}

}  // namespace

std::string ArchiveStreamPath(uint64_t jobId) {
  return Settings::StatePath("archive/job-" + std::to_string(jobId) + ".stream");
}

std::string ArchiveBufferSizePath() {
  return Settings::StatePath("archive/buffer_size");
}

bool ReadArchiveStream(uint64_t jobId, std::vector<ArchiveRecord>& records, std::string& why) {
  records.clear();
  std::string stream;
  if (!ReadWholeFile(ArchiveStreamPath(jobId), stream)) {
    if (errno == ENOENT) return true;
    why = std::string("cannot read the stream: ") + std::strerror(errno);
    return false;
  }
  size_t at = 0;
  while (at < stream.size()) {
    if (stream.size() - at < 8) {
      why = "the stream ends inside a record head at offset " + std::to_string(at);
      return false;
    }
    ArchiveRecord record;
    record.type = LittleEndian32(stream, at);
    const uint32_t length = LittleEndian32(stream, at + 4);
    if (stream.size() - at - 8 < length) {
      why = "the record at offset " + std::to_string(at) + " holds " + std::to_string(length) +
            " bytes, past the stream's end";
      return false;
    }
    record.payload.assign(stream, at + 8, length);
    records.push_back(std::move(record));
    at += 8 + static_cast<size_t>(length);
  }
  return true;
}

}  // namespace platform
