#include "platform/hashing/extent_hash_item.h"

#include "platform/hashing/extent_name_converter.h"

namespace {

constexpr unsigned kErrorBadEntry = 774;

bool IsLowerHex(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const char c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
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
  const unsigned long long id = ExtentNameConverter::Extent_base32_to_dec(std::string(name, nameLength));
  if (id == ExtentNameConverter::kInvalidExtent) return false;
  m_nExtentId = id;
  m_bValid = true;
  return true;
}

CQiError ExtentHashItem::Initialize(const std::string& line) {
  size_t length = line.size();
  if (length > 0 && line[length - 1] == '\n') --length;
  const size_t bar = line.find('|');
  if (bar != std::string::npos && bar < length && Set(line.data(), bar, line.data() + bar + 1, length - bar - 1)) {
    m_sExtentName.assign(line, 0, bar);
    m_sExtentHash.assign(line, bar + 1, length - bar - 1);
    return CQiError();
  }
  Reset();
  return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorBadEntry, "Invalid extent hash entry [%s]", line.c_str());
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
