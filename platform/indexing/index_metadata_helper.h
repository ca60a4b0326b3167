#pragma once
// IndexMetaDataHelper: the encoding of one index-metadata entry in the
// archive stream (record type 159): u32 tag, u32 value length (both
// little-endian) and the value's bytes.
#include <cstddef>
#include <cstdint>
#include <string>

class IndexMetaDataHelper {
 public:
  static constexpr uint32_t kEntryHeaderSize = 8;

  // The entry's encoded size; 0 for a value too long to encode, which no
  // buffer can then hold.
  uint32_t getEncodedLength(uint32_t tag, const std::string& value) const;
  // Encodes the entry into the buffer; 0 with `written` set to its size, or
  // 22 for a null or too short buffer, 75 for a value too long to encode
  // (nothing is written then; fault "IndexMetaDataHelper::fillBuffer").
  // Flags are reserved.
  int fillBuffer(uint32_t tag, const std::string& value, void* buffer, uint32_t length, uint32_t& written,
                 int flags) const;
};

namespace platform {

// The reading side, for the harness and the tests: true when the payload is
// exactly one entry.
bool ReadIndexMetaData(const void* payload, size_t length, uint32_t& tag, std::string& value);

}  // namespace platform
