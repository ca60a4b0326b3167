#pragma once
// Word-at-a-time kernels over changed-extent bitmaps (extent i is bit i % 8
// of byte i / 8, least significant first). Bitmaps of large volumes run to
// megabytes, so every pass works on 64-bit words; words are loaded with
// memcpy, so buffers need no alignment, and the last size % 8 bytes are
// handled one byte at a time. On a little-endian machine bit j of a loaded
// word is extent (word offset * 8 + j), the same order as the bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bitmap_words {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "bit order of loaded words assumes little-endian");

inline uint64_t Load(const unsigned char* bytes) {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

inline void Store(unsigned char* bytes, uint64_t word) {
  std::memcpy(bytes, &word, sizeof word);
}

// destination |= source
void Or(unsigned char* destination, const unsigned char* source, size_t size);
// bitmap &= mask
void And(unsigned char* bitmap, const unsigned char* mask, size_t size);
// Every byte set to value.
void Fill(unsigned char* bitmap, size_t size, unsigned char value);
// Whether every byte is value (true for size 0).
bool AllBytesAre(const unsigned char* bitmap, size_t size, unsigned char value);
// The number of set bits.
uint64_t CountSet(const unsigned char* bitmap, size_t size);
// Clears every bit from firstBit to the end of the bitmap.
void ClearFrom(unsigned char* bitmap, size_t size, uint64_t firstBit);

// Calls visit(bit index) for every bit set in combine(a-word, b-word), in
// increasing order, skipping zero words; b may be null when combine ignores
// it. Used to log exactly the bits a merge changes before it runs.
template <class Combine, class Visit>
void ForEachSetBit(const unsigned char* a, const unsigned char* b, size_t size, Combine combine, Visit visit) {
  size_t offset = 0;
  for (; offset + 8 <= size; offset += 8) {
    uint64_t word = combine(Load(a + offset), b != nullptr ? Load(b + offset) : 0);
    while (word != 0) {
      visit(static_cast<uint64_t>(offset) * 8 + static_cast<uint64_t>(__builtin_ctzll(word)));
      word &= word - 1;
    }
  }
  for (; offset < size; ++offset) {
    uint64_t word = combine(a[offset], b != nullptr ? b[offset] : 0) & 0xFFu;
    while (word != 0) {
      visit(static_cast<uint64_t>(offset) * 8 + static_cast<uint64_t>(__builtin_ctzll(word)));
      word &= word - 1;
    }
  }
}

// Calls visit(bit index) for every set bit below limit (limit / 8 bytes,
// rounded up, are read), in increasing order, until visit returns false.
// False when visit stopped it.
template <class Visit>
bool ForEachSetBitBelow(const unsigned char* bitmap, uint64_t limit, Visit visit) {
  const uint64_t size = limit / 8 + (limit % 8 != 0 ? 1 : 0);
  for (uint64_t offset = 0; offset < size; offset += 8) {
    uint64_t word = 0;
    if (offset + 8 <= size)
      word = Load(bitmap + offset);
    else
      std::memcpy(&word, bitmap + offset, static_cast<size_t>(size - offset));
    while (word != 0) {
      const uint64_t bit = offset * 8 + static_cast<uint64_t>(__builtin_ctzll(word));
      if (bit >= limit) return true;
      if (!visit(bit)) return false;
      word &= word - 1;
    }
  }
  return true;
}

template <class Visit>
void ForEachSetBit(const unsigned char* bitmap, size_t size, Visit visit) {
  ForEachSetBit(
      bitmap, nullptr, size, [](uint64_t a, uint64_t) { return a; }, visit);
}

}  // namespace bitmap_words
