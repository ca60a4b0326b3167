#include "scan/cumulative_bitmap_words.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace cumulative_words {
namespace {

struct NoVisit {
  void operator()(size_t, uint64_t, size_t) const {}
};

// Without a visit nothing needs the words that add no bit told apart: every
// word is stored (unchanged when it adds nothing), two words a round with a
// count each, so that neither a branch nor one chain of additions holds the
// loop up.
template <class Count>
__attribute__((always_inline)) inline uint64_t AddWithoutVisit(unsigned char* change, const unsigned char* used,
                                                               const unsigned char* held, size_t size, Count count) {
  using bitmap_words::Load;
  using bitmap_words::Store;
  uint64_t addedEven = 0, addedOdd = 0;
  size_t offset = 0;
  for (; offset + 16 <= size; offset += 16) {
    const uint64_t current0 = Load(change + offset), current1 = Load(change + offset + 8);
    const uint64_t wanted0 = Load(used + offset) & ~Load(held + offset);
    const uint64_t wanted1 = Load(used + offset + 8) & ~Load(held + offset + 8);
    Store(change + offset, current0 | wanted0);
    Store(change + offset + 8, current1 | wanted1);
    addedEven += count(wanted0 & ~current0);
    addedOdd += count(wanted1 & ~current1);
  }
  return addedEven + addedOdd +
         AddUsedExtentsNotIn(change + offset, used + offset, held + offset, size - offset, NoVisit(), count);
}

#if defined(__x86_64__)
// 32 bytes a round with AVX2: the bits of each byte counted by nibble through
// a table lookup and summed per 8 bytes, so that the count keeps up with the
// loads as a plain OR does.
__attribute__((target("avx2"))) uint64_t WithVectors(unsigned char* change, const unsigned char* used,
                                                     const unsigned char* held, size_t size) {
  const __m256i nibbleCounts =
      _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i lowNibbles = _mm256_set1_epi8(0x0F);
  __m256i sums = _mm256_setzero_si256();
  size_t offset = 0;
  for (; offset + 32 <= size; offset += 32) {
    const __m256i current = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(change + offset));
    const __m256i wanted = _mm256_andnot_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(held + offset)),
                                               _mm256_loadu_si256(reinterpret_cast<const __m256i*>(used + offset)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(change + offset), _mm256_or_si256(current, wanted));
    const __m256i added = _mm256_andnot_si256(current, wanted);
    const __m256i counts =
        _mm256_add_epi8(_mm256_shuffle_epi8(nibbleCounts, _mm256_and_si256(added, lowNibbles)),
                        _mm256_shuffle_epi8(nibbleCounts, _mm256_and_si256(_mm256_srli_epi16(added, 4), lowNibbles)));
    sums = _mm256_add_epi64(sums, _mm256_sad_epu8(counts, _mm256_setzero_si256()));
  }
  alignas(32) uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3] +
         AddUsedExtentsNotIn(change + offset, used + offset, held + offset, size - offset, NoVisit());
}

struct InstructionCount {
  uint64_t operator()(uint64_t word) const { return static_cast<uint64_t>(__builtin_popcountll(word)); }
};

__attribute__((target("popcnt"))) uint64_t WithCountInstruction(unsigned char* change, const unsigned char* used,
                                                                const unsigned char* held, size_t size) {
  return AddWithoutVisit(change, used, held, size, InstructionCount());
}
#endif

}  // namespace

uint64_t AddUsedExtentsNotInQuietly(unsigned char* change, const unsigned char* used, const unsigned char* held,
                                    size_t size) {
#if defined(__x86_64__)
  static const bool hasVectors = __builtin_cpu_supports("avx2");
  if (hasVectors) return WithVectors(change, used, held, size);
  static const bool hasCountInstruction = __builtin_cpu_supports("popcnt");
  if (hasCountInstruction) return WithCountInstruction(change, used, held, size);
#endif
  return AddWithoutVisit(change, used, held, size, PortableCount());
}

void MarkUsedExtentsNotIn(unsigned char* change, const unsigned char* used, const unsigned char* held, size_t size) {
  using bitmap_words::Load;
  using bitmap_words::Store;
  size_t offset = 0;
  for (; offset + 8 <= size; offset += 8)
    Store(change + offset, Load(change + offset) | (Load(used + offset) & ~Load(held + offset)));
  for (; offset < size; ++offset)
    change[offset] = static_cast<unsigned char>(change[offset] | (used[offset] & ~held[offset]));
}

}  // namespace cumulative_words
