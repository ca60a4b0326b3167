#include "platform/hashing/extent_hash_item.h"

#include <cstdint>
#include <cstring>

#include "platform/hashing/extent_name_converter.h"

namespace {

constexpr unsigned kErrorBadEntry = 774;

constexpr uint64_t kEachByte = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x80 * kEachByte;

// The high bit of each byte of word that is at least `low`, for bytes below
// 0x80 (no byte's sum carries into the next).
constexpr uint64_t AtLeast(uint64_t word, unsigned low) {
  return (word + (0x80 - low) * kEachByte) & kHighBits;
}

// Eight bytes at a time: every table line holds a 32-digit hash, and a byte
// at a time was a fifth of reading a table.
bool IsLowerHex(const char* text, size_t length) {
  uint64_t outside = 0;
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t word;
    std::memcpy(&word, text + i, 8);
    const uint64_t ascii = ~word & kHighBits;
    const uint64_t digit = AtLeast(word, '0') & ~AtLeast(word, '9' + 1);
    const uint64_t letter = AtLeast(word, 'a') & ~AtLeast(word, 'f' + 1);
    outside |= ~(ascii & (digit | letter)) & kHighBits;
  }
  for (; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    outside |= !(static_cast<unsigned char>(c - '0') < 10 || static_cast<unsigned char>(c - 'a') < 6);
  }
  return outside == 0;
}

// An item read again and again from a table keeps its texts' lengths, so
// most assignments are a plain copy over the same length.
void AssignText(std::string& text, const char* from, size_t length) {
  if (text.size() == length)
    std::memcpy(&text[0], from, length);
  else
    text.assign(from, length);
}

}  // namespace

ExtentHashItem::ExtentHashItem(const std::string& name, const std::string& hash, void*)
    : m_sExtentName(name), m_sExtentHash(hash) {
  Set(name.data(), name.size(), hash.data(), hash.size());
}

bool ExtentHashItem::Set(const char* name, size_t nameLength, const char* hash, size_t hashLength) {
  m_bValid = false;
  m_nExtentId = kNoExtent;
  if (nameLength != kNameWidth || hashLength != kHashLength || !IsLowerHex(hash, hashLength)) return false;
  const unsigned long long id = ExtentNameConverter::Extent_base32_to_dec(name, nameLength);
  if (id == ExtentNameConverter::kInvalidExtent) return false;
  m_nExtentId = id;
  m_bValid = true;
  return true;
}

CQiError ExtentHashItem::Initialize(const std::string& line) {
  return Initialize(line.data(), line.size());
}

CQiError ExtentHashItem::Initialize(const char* line, size_t size) {
  size_t length = size;
  if (length > 0 && line[length - 1] == '\n') --length;
  // A table's line has its bar right after the fixed-width name.
  const char* barAt = length > kNameWidth && line[kNameWidth] == '|'
                          ? line + kNameWidth
                          : static_cast<const char*>(std::memchr(line, '|', length));
  const size_t bar = barAt != nullptr ? static_cast<size_t>(barAt - line) : length;
  if (barAt != nullptr && Set(line, bar, line + bar + 1, length - bar - 1)) {
    // Set took only the fixed widths: copies of a known size.
    AssignText(m_sExtentName, line, kNameWidth);
    AssignText(m_sExtentHash, line + kNameWidth + 1, kHashLength);
    return CQiError();
  }
  Reset();
  const std::string shown(line, size);
  return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorBadEntry, "Invalid extent hash entry [%s]", shown.c_str());
}

void ExtentHashItem::Reset() {
  m_sExtentName.clear();
  m_sExtentHash.clear();
  m_bValid = false;
  m_nExtentId = kNoExtent;
}

void ExtentHashItem::AppendLine(std::string& text) const {
  // One append of the whole line: tables are written an entry at a time.
  char line[kNameWidth + 1 + kHashLength + 1];
  const size_t name = m_sExtentName.size();
  const size_t hash = m_sExtentHash.size();
  if (name + hash + 2 > sizeof line) {
    text.append(m_sExtentName).append(1, '|').append(m_sExtentHash).append(1, '\n');
    return;
  }
  std::memcpy(line, m_sExtentName.data(), name);
  line[name] = '|';
  std::memcpy(line + name + 1, m_sExtentHash.data(), hash);
  line[name + 1 + hash] = '\n';
  text.append(line, name + hash + 2);
}
