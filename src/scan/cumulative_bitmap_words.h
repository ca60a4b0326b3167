#pragma once
// The cumulative bitmap helper's kernel: marks as changed every extent that
// the file system uses and another bitmap does not hold, a 64-bit word at a
// time (bitmap_words' layout: bit j of a loaded word is extent offset * 8 + j).
#include <cstddef>
#include <cstdint>

#include "tracking/bitmap_words.h"

namespace cumulative_words {

// The set bits of a word without a library call (the compiler's builtin is
// one on an x86-64 build that may not assume the bit-count instruction).
inline uint64_t CountBitsPortably(uint64_t word) {
  word -= (word >> 1) & 0x5555555555555555ull;
  word = (word & 0x3333333333333333ull) + ((word >> 2) & 0x3333333333333333ull);
  word = (word + (word >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return (word * 0x0101010101010101ull) >> 56;
}

struct PortableCount {
  uint64_t operator()(uint64_t word) const { return CountBitsPortably(word); }
};

// change |= used AND NOT held AND NOT change over size bytes. Before a word
// (or, at the end, a byte) is OR-ed in, visit(byte offset, the bits it adds,
// its width in bytes) is called for it when it adds any. Returns the number
// of bits added. Always inlined, so that a caller built for the bit-count
// instruction counts with it.
template <class Visit, class Count = PortableCount>
__attribute__((always_inline)) inline uint64_t AddUsedExtentsNotIn(unsigned char* change, const unsigned char* used,
                                                                   const unsigned char* held, size_t size, Visit visit,
                                                                   Count count = Count()) {
  using bitmap_words::Load;
  using bitmap_words::Store;
  uint64_t added = 0;
  size_t offset = 0;
  for (; offset + 8 <= size; offset += 8) {
    const uint64_t current = Load(change + offset);
    const uint64_t bits = Load(used + offset) & ~Load(held + offset) & ~current;
    if (bits == 0) continue;
    visit(offset, bits, size_t{8});
    Store(change + offset, current | bits);
    added += count(bits);
  }
  for (; offset < size; ++offset) {
    const unsigned bits = used[offset] & ~held[offset] & ~change[offset] & 0xFFu;
    if (bits == 0) continue;
    visit(offset, uint64_t{bits}, size_t{1});
    change[offset] = static_cast<unsigned char>(change[offset] | bits);
    added += count(bits);
  }
  return added;
}

// The same with nothing to visit, as the scan runs it unless its log level
// asks for each bit or byte: with AVX2 vectors, or else the bit-count
// instruction, where the processor has them.
uint64_t AddUsedExtentsNotInQuietly(unsigned char* change, const unsigned char* used, const unsigned char* held,
                                    size_t size);

// change |= used AND NOT held, for a caller that needs neither the count nor
// a visit: as fast as a plain OR of one more bitmap.
void MarkUsedExtentsNotIn(unsigned char* change, const unsigned char* used, const unsigned char* held, size_t size);

}  // namespace cumulative_words
