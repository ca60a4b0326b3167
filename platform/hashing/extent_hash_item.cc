#include "platform/hashing/extent_hash_item.h"

#include <cstring>

#include "platform/hashing/extent_name_converter.h"

namespace {

constexpr unsigned kErrorBadEntry = 774;

bool IsLowerHex(const char* text, size_t length) {
  bool all = true;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    all &= static_cast<unsigned char>(c - '0') < 10 || static_cast<unsigned char>(c - 'a') < 6;
  }
  return all;
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

CQiError ExtentHashItem::Initialize(const std::string& line) { return Initialize(line.data(), line.size()); }

CQiError ExtentHashItem::Initialize(const char* line, size_t size) {
  size_t length = size;
  if (length > 0 && line[length - 1] == '\n') --length;
  const char* barAt = static_cast<const char*>(std::memchr(line, '|', length));
  const size_t bar = barAt != nullptr ? static_cast<size_t>(barAt - line) : length;
  if (barAt != nullptr && Set(line, bar, line + bar + 1, length - bar - 1)) {
    m_sExtentName.assign(line, bar);
    m_sExtentHash.assign(line + bar + 1, length - bar - 1);
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
  text.append(m_sExtentName).append(1, '|').append(m_sExtentHash).append(1, '\n');
}
