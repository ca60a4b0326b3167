#pragma once
// Seeding and inspection of jobs' archive streams (blbsim archive ...): the
// default buffer size, a stream's records one line each, and the data of one
// item.
#include <cstdint>
#include <string>
#include <vector>

namespace blbsim {

// The size KZArchive grants when asked for its default; false (errno set)
// when it cannot be stored. 0 goes back to 64 KiB.
bool SetArchiveBufferSize(uint32_t size);
// One line per record: "type=T length=N", followed for a header (128) by
// " name=<name> mode=0x<hex> size=<n>" and for an index-metadata entry (159)
// by " tag=0x<hex> value=<value>" (bytes outside ' '..'~' as \xHH). False
// with the reason for a stream that does not read back.
bool DescribeArchiveStream(uint64_t jobId, std::vector<std::string>& lines, std::string& why);
// The data records (2) of the first item named `name`, joined; false with
// the reason when the stream does not read back or holds no such item.
bool ExtractArchiveItemData(uint64_t jobId, const std::string& name, std::string& data, std::string& why);

}  // namespace blbsim
