#include "scan/cumulative_bitmap_words.h"

namespace cumulative_words {
namespace {

struct NoVisit {
  void operator()(size_t, uint64_t, size_t) const {}
};

#if defined(__x86_64__)
struct InstructionCount {
  uint64_t operator()(uint64_t word) const { return static_cast<uint64_t>(__builtin_popcountll(word)); }
};

__attribute__((target("popcnt"))) uint64_t WithCountInstruction(unsigned char* change, const unsigned char* used,
                                                                const unsigned char* held, size_t size) {
  return AddUsedExtentsNotIn(change, used, held, size, NoVisit(), InstructionCount());
}
#endif

}  // namespace

uint64_t AddUsedExtentsNotInQuietly(unsigned char* change, const unsigned char* used, const unsigned char* held,
                                    size_t size) {
#if defined(__x86_64__)
  static const bool hasCountInstruction = __builtin_cpu_supports("popcnt");
  if (hasCountInstruction) return WithCountInstruction(change, used, held, size);
#endif
  return AddUsedExtentsNotIn(change, used, held, size, NoVisit());
}

}  // namespace cumulative_words
