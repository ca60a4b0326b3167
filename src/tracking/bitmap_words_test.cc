#include "tracking/bitmap_words.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

// Guard bytes around every buffer catch a word access that runs past the
// tail or starts before the head.
constexpr size_t kGuard = 16;
constexpr unsigned char kGuardByte = 0xA5;

struct Buffer {
  std::vector<unsigned char> store;
  size_t offset;
  size_t size;
  unsigned char* data() { return store.data() + kGuard + offset; }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuard + offset; ++i)
      if (store[i] != kGuardByte) return false;
    for (size_t i = kGuard + offset + size; i < store.size(); ++i)
      if (store[i] != kGuardByte) return false;
    return true;
  }
};

Buffer RandomBuffer(std::mt19937_64& random, size_t size, size_t offset) {
  Buffer b{std::vector<unsigned char>(2 * kGuard + offset + size, kGuardByte), offset, size};
  // Mostly sparse, sometimes dense, so both zero-word skips and full words occur.
  const unsigned density = static_cast<unsigned>(random() % 3);
  for (size_t i = 0; i < size; ++i) {
    unsigned char byte = static_cast<unsigned char>(random());
    if (density == 0) byte = random() % 8 == 0 ? byte : 0;
    if (density == 2) byte = random() % 8 == 0 ? byte : 0xFF;
    b.data()[i] = byte;
  }
  return b;
}

}  // namespace

TEST(BitmapWords, RandomizedAgainstPerByteReference) {
  std::mt19937_64 random(20261206);
  for (int round = 0; round < 3000; ++round) {
    const size_t size = round < 40 ? static_cast<size_t>(round) : static_cast<size_t>(random() % 300);
    // Each buffer at its own misalignment.
    Buffer a = RandomBuffer(random, size, random() % 8);
    Buffer b = RandomBuffer(random, size, random() % 8);
    const std::vector<unsigned char> a0(a.data(), a.data() + size), b0(b.data(), b.data() + size);
    SCOPED_TRACE("size " + std::to_string(size) + " offsets " + std::to_string(a.offset) + "/" +
                 std::to_string(b.offset));

    std::vector<uint64_t> setBits, newBits;
    for (size_t bit = 0; bit < size * 8; ++bit) {
      const bool inA = (a0[bit / 8] >> (bit % 8)) & 1, inB = (b0[bit / 8] >> (bit % 8)) & 1;
      if (inA) setBits.push_back(bit);
      if (inB && !inA) newBits.push_back(bit);
    }
    std::vector<uint64_t> seen;
    bitmap_words::ForEachSetBit(a.data(), size, [&seen](uint64_t bit) { seen.push_back(bit); });
    ASSERT_EQ(seen, setBits);
    seen.clear();
    bitmap_words::ForEachSetBit(
        a.data(), b.data(), size, [](uint64_t x, uint64_t y) { return y & ~x; },
        [&seen](uint64_t bit) { seen.push_back(bit); });
    ASSERT_EQ(seen, newBits);

    bitmap_words::Or(a.data(), b.data(), size);
    for (size_t i = 0; i < size; ++i) ASSERT_EQ(a.data()[i], a0[i] | b0[i]) << "OR byte " << i;
    bitmap_words::And(a.data(), b.data(), size);
    for (size_t i = 0; i < size; ++i) ASSERT_EQ(a.data()[i], (a0[i] | b0[i]) & b0[i]) << "AND byte " << i;
    bitmap_words::Fill(a.data(), size, 0x3C);
    for (size_t i = 0; i < size; ++i) ASSERT_EQ(a.data()[i], 0x3C) << "fill byte " << i;
    ASSERT_TRUE(a.GuardsIntact());
    ASSERT_TRUE(b.GuardsIntact());
    ASSERT_EQ(std::vector<unsigned char>(b.data(), b.data() + size), b0);
  }
}
