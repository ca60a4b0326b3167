#include "tracking/bitmap_words.h"

namespace bitmap_words {

void Or(unsigned char* destination, const unsigned char* source, size_t size) {
  size_t offset = 0;
  for (; offset + 8 <= size; offset += 8)
    Store(destination + offset, Load(destination + offset) | Load(source + offset));
  for (; offset < size; ++offset)
    destination[offset] = static_cast<unsigned char>(destination[offset] | source[offset]);
}

void And(unsigned char* bitmap, const unsigned char* mask, size_t size) {
  size_t offset = 0;
  for (; offset + 8 <= size; offset += 8) Store(bitmap + offset, Load(bitmap + offset) & Load(mask + offset));
  for (; offset < size; ++offset) bitmap[offset] = static_cast<unsigned char>(bitmap[offset] & mask[offset]);
}

void Fill(unsigned char* bitmap, size_t size, unsigned char value) {
  if (size > 0) std::memset(bitmap, value, size);
}

bool AllBytesAre(const unsigned char* bitmap, size_t size, unsigned char value) {
  const uint64_t pattern = 0x0101010101010101ull * value;
  size_t offset = 0;
  for (; offset + 8 <= size; offset += 8)
    if (Load(bitmap + offset) != pattern) return false;
  for (; offset < size; ++offset)
    if (bitmap[offset] != value) return false;
  return true;
}

uint64_t CountSet(const unsigned char* bitmap, size_t size) {
  uint64_t count = 0;
  size_t offset = 0;
  for (; offset + 8 <= size; offset += 8) count += static_cast<uint64_t>(__builtin_popcountll(Load(bitmap + offset)));
  for (; offset < size; ++offset) count += static_cast<uint64_t>(__builtin_popcount(bitmap[offset]));
  return count;
}

void ClearFrom(unsigned char* bitmap, size_t size, uint64_t firstBit) {
  const uint64_t firstByte = firstBit / 8;
  if (firstByte >= size) return;
  bitmap[firstByte] = static_cast<unsigned char>(bitmap[firstByte] & ((1u << (firstBit % 8)) - 1));
  Fill(bitmap + firstByte + 1, size - firstByte - 1, 0);
}

}  // namespace bitmap_words
