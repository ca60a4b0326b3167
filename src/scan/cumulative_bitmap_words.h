#pragma once
// The cumulative bitmap helper's kernel: marks as changed every extent that
// the file system uses and another bitmap does not hold, a 64-bit word at a
// time (bitmap_words' layout: bit j of a loaded word is extent offset * 8 + j).
#include <cstddef>
#include <cstdint>

#include "tracking/bitmap_words.h"

namespace cumulative_words {

// change |= used AND NOT held AND NOT change over size bytes. Before a word
// (or, at the end, a byte) is OR-ed in, visit(byte offset, the bits it adds,
// its width in bytes) is called for it when it adds any. Returns the number
// of bits added.
template <class Visit>
uint64_t AddUsedExtentsNotIn(unsigned char* change, const unsigned char* used, const unsigned char* held, size_t size,
                             Visit visit) {
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
    added += static_cast<uint64_t>(__builtin_popcountll(bits));
  }
  for (; offset < size; ++offset) {
    const unsigned bits = used[offset] & ~held[offset] & ~change[offset] & 0xFFu;
    if (bits == 0) continue;
    visit(offset, uint64_t{bits}, size_t{1});
    change[offset] = static_cast<unsigned char>(change[offset] | bits);
    added += static_cast<uint64_t>(__builtin_popcount(bits));
  }
  return added;
}

}  // namespace cumulative_words
