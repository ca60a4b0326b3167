#include "platform/base/crc64.h"

#include <array>

namespace {

std::array<uint64_t, 256> MakeTable() {
  constexpr uint64_t kPolynomial = 0xC96C5795D7870F42ULL;  // ECMA-182, reflected
  std::array<uint64_t, 256> table{};
  for (uint64_t i = 0; i < 256; ++i) {
    uint64_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? (value >> 1) ^ kPolynomial : value >> 1;
    table[i] = value;
  }
  return table;
}

}  // namespace

uint64_t UpdateCRC64(uint64_t state, const void* data, size_t length) {
  static const std::array<uint64_t, 256> table = MakeTable();
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < length; ++i) state = table[(state ^ bytes[i]) & 0xFF] ^ (state >> 8);
  return state;
}
