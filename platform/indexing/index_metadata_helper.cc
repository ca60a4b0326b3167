#include "platform/indexing/index_metadata_helper.h"

#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/sim/fault_table.h"

namespace {

void PutLittleEndian(uint32_t value, unsigned char* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t GetLittleEndian(const unsigned char* in) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | in[i];
  return value;
}

constexpr size_t kMaxValueLength = std::numeric_limits<uint32_t>::max() - IndexMetaDataHelper::kEntryHeaderSize;

}  // namespace

uint32_t IndexMetaDataHelper::getEncodedLength(uint32_t, const std::string& value) const {
  if (value.size() > kMaxValueLength) return 0;
  return static_cast<uint32_t>(kEntryHeaderSize + value.size());
}

int IndexMetaDataHelper::fillBuffer(uint32_t tag, const std::string& value, void* buffer, uint32_t length,
                                    uint32_t& written, int) const {
  written = 0;
  int code = 0;
  // A fault of code 0 would read as success.
  if (platform::InjectedFaultCode("IndexMetaDataHelper::fillBuffer", code)) return code != 0 ? code : -1;
  if (value.size() > kMaxValueLength) return EOVERFLOW;
  if (buffer == nullptr || length < kEntryHeaderSize + value.size()) return EINVAL;
  auto* out = static_cast<unsigned char*>(buffer);
  PutLittleEndian(tag, out);
  PutLittleEndian(static_cast<uint32_t>(value.size()), out + 4);
  if (!value.empty()) std::memcpy(out + kEntryHeaderSize, value.data(), value.size());
  written = static_cast<uint32_t>(kEntryHeaderSize + value.size());
  return 0;
}

namespace platform {

bool ReadIndexMetaData(const void* payload, size_t length, uint32_t& tag, std::string& value) {
  if (payload == nullptr || length < IndexMetaDataHelper::kEntryHeaderSize) return false;
  const auto* in = static_cast<const unsigned char*>(payload);
  const uint32_t valueLength = GetLittleEndian(in + 4);
  if (length - IndexMetaDataHelper::kEntryHeaderSize != valueLength) return false;
  tag = GetLittleEndian(in);
  value.assign(reinterpret_cast<const char*>(in) + IndexMetaDataHelper::kEntryHeaderSize, valueLength);
  return true;
}

}  // namespace platform
