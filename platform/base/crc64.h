#pragma once
// CRC-64 (ECMA-182 polynomial, reflected), state starting at all ones and
// the result being its complement.
#include <cstddef>
#include <cstdint>

uint64_t UpdateCRC64(uint64_t state, const void* data, size_t length);

class CQiCRC64 {
 public:
  CQiCRC64() = default;
  void Reset() { m_nState = ~0ULL; }
  void Update(const void* data, size_t length) { m_nState = UpdateCRC64(m_nState, data, length); }
  uint64_t GetCRC64() const { return ~m_nState; }

 private:
  uint64_t m_nState = ~0ULL;
};
