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

}  // namespace bitmap_words
