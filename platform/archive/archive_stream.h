#pragma once
// A job's archive stream as KZArchive writes it, read back for the harness
// and the tests: records of u32 type, u32 length (little-endian), payload.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct ArchiveRecord {
  uint32_t type = 0;
  std::string payload;
};

// Record types the writers of items use.
constexpr uint32_t kArchiveRecordData = 2;
constexpr uint32_t kArchiveRecordHeader = 128;
constexpr uint32_t kArchiveRecordEnd = 130;
constexpr uint32_t kArchiveRecordEndFailed = 134;
constexpr uint32_t kArchiveRecordIndexMetaData = 159;

// The stream file of the job under the state directory.
std::string ArchiveStreamPath(uint64_t jobId);
// The file that holds the harness's default buffer size.
std::string ArchiveBufferSizePath();

// Every record of the job's stream; a missing stream is an empty one. False
// with the reason for a stream that ends inside a record.
bool ReadArchiveStream(uint64_t jobId, std::vector<ArchiveRecord>& records, std::string& why);

}  // namespace platform
