#pragma once
// ExtentNameConverter: the extent-hashing library's names of extents.
//
// A name is a fixed number of base-32 digits of the extent number, most
// significant first and zero-padded, over the alphabet
// "0123456789ABCDEFGHIJKLMNOPQRSTUV" (extent 33 is "00000011" at width 8).
// Collect files, hash tables and the index all carry these names, so a name
// must read back as the number it was made from. Both conversions are pure:
// they allocate nothing and cannot be failed from outside.
#include <cstddef>
#include <cstdint>
#include <string>

class ExtentNameConverter {
 public:
  static constexpr const char* kAlphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUV";
  // What Extent_base32_to_dec gives for a text that is no name.
  static constexpr unsigned long long kInvalidExtent = ~0ull;

  ExtentNameConverter() = default;
  // The geometry of the volume whose extents are named.
  ExtentNameConverter(unsigned long long diskSize, unsigned long long extentSize);

  unsigned long long GetDiskSize() const { return m_nDiskSize; }
  unsigned long long GetExtentSize() const { return m_nExtentSize; }
  // Extents covering the disk, the last one possibly partial (0 for a zero
  // extent size).
  unsigned long long GetTotalExtents() const { return m_nTotalExtents; }

  // Writes the width digits of n and a terminating zero (out holds width + 1
  // bytes). False, writing nothing, for a null buffer, width 0, or n of
  // 32^width or more.
  static bool Extent_dec_to_base32_v2(unsigned long long n, char* out, unsigned int width);
  // The extent number of a name of 1 to 12 digits of the alphabet; any other
  // text gives kInvalidExtent.
  static unsigned long long Extent_base32_to_dec(const std::string& name);
  static unsigned long long Extent_base32_to_dec(const char* name, size_t length);

 private:
  unsigned long long m_nDiskSize = 0;
  unsigned long long m_nExtentSize = 0;
  unsigned long long m_nTotalExtents = 0;
};
