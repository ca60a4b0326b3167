#include "platform/hashing/extent_name_converter.h"

#include <cstring>

namespace {

constexpr unsigned kBitsPerDigit = 5;
// 12 digits hold 60 bits; a 13th could not be told from an overflow.
constexpr size_t kMaxNameDigits = 12;

// Every pair of digits, so that a name takes one look-up per ten bits.
struct DigitPairs {
  constexpr DigitPairs() : pairs() {
    for (unsigned v = 0; v < 1024; ++v) {
      pairs[v][0] = ExtentNameConverter::kAlphabet[v >> 5];
      pairs[v][1] = ExtentNameConverter::kAlphabet[v & 31];
    }
  }
  char pairs[1024][2];
};
constexpr DigitPairs kDigitPairs;

// Every character's digit value, kNoDigit outside the alphabet: names are
// read once per table entry, so a name costs one look-up per digit and no
// branch.
constexpr unsigned char kNoDigit = 0x80;
struct DigitValues {
  constexpr DigitValues() : values() {
    for (unsigned c = 0; c < 256; ++c) values[c] = kNoDigit;
    for (unsigned v = 0; v < 32; ++v) values[static_cast<unsigned char>(ExtentNameConverter::kAlphabet[v])] = v;
  }
  unsigned char values[256];
};
constexpr DigitValues kDigitValues;

}  // namespace

ExtentNameConverter::ExtentNameConverter(unsigned long long diskSize, unsigned long long extentSize)
    : m_nDiskSize(diskSize), m_nExtentSize(extentSize) {
  if (extentSize != 0) m_nTotalExtents = diskSize / extentSize + (diskSize % extentSize != 0 ? 1 : 0);
}

bool ExtentNameConverter::Extent_dec_to_base32_v2(unsigned long long n, char* out, unsigned int width) {
  if (out == nullptr || width == 0) return false;
  if (width * kBitsPerDigit < 64 && (n >> (width * kBitsPerDigit)) != 0) return false;
  out[width] = '\0';
  unsigned int i = width;
  for (; i >= 2; i -= 2) {
    std::memcpy(out + i - 2, kDigitPairs.pairs[n & 1023u], 2);
    n >>= 2 * kBitsPerDigit;
  }
  if (i == 1) out[0] = kAlphabet[n & 31u];
  return true;
}

unsigned long long ExtentNameConverter::Extent_base32_to_dec(const std::string& name) {
  return Extent_base32_to_dec(name.data(), name.size());
}

unsigned long long ExtentNameConverter::Extent_base32_to_dec(const char* name, size_t length) {
  if (name == nullptr || length == 0 || length > kMaxNameDigits) return kInvalidExtent;
  unsigned long long n = 0;
  unsigned outside = 0;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char digit = kDigitValues.values[static_cast<unsigned char>(name[i])];
    outside |= digit;
    n = (n << kBitsPerDigit) | (digit & 31u);
  }
  return (outside & kNoDigit) != 0 ? kInvalidExtent : n;
}
