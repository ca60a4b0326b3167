#include "platform/bag/bag.h"

#include "platform/sim/fault_table.h"

namespace {

constexpr unsigned kErrorNotFound = 1168;
constexpr unsigned kErrorBadText = 774;
constexpr char kPrefix[] = "bag:";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;
constexpr char kHex[] = "0123456789ABCDEF";

bool MustEscape(unsigned char c) {
  return c < ' ' || c > '~' || c == '%' || c == '=' || c == ';';
}

void AppendEscaped(const std::string& raw, std::string& text) {
  for (const char c : raw) {
    const auto byte = static_cast<unsigned char>(c);
    if (MustEscape(byte)) {
      const char escape[3] = {'%', kHex[byte >> 4], kHex[byte & 0x0F]};
      text.append(escape, 3);
    } else {
      text.push_back(c);
    }
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads escaped bytes from `at` up to the terminator; false on a byte that
// should have been escaped, a bad escape, or no terminator.
bool ReadEscaped(const std::string& text, size_t& at, char terminator, std::string& raw) {
  raw.clear();
  while (at < text.size()) {
    const char c = text[at];
    if (c == terminator) {
      ++at;
      return true;
    }
    if (c == '%') {
      if (at + 2 >= text.size()) return false;
      const int high = HexDigit(text[at + 1]);
      const int low = HexDigit(text[at + 2]);
      if (high < 0 || low < 0) return false;
      raw.push_back(static_cast<char>(high << 4 | low));
      at += 3;
      continue;
    }
    if (MustEscape(static_cast<unsigned char>(c))) return false;
    raw.push_back(c);
    ++at;
  }
  return false;
}

}  // namespace

CQiError CBag::Write(const std::string& key, const std::string& value) {
  CQiError err = platform::InjectedFault("CBag::Write", FXCODELOC);
  if (err.IsError()) return err;
  m_mapValues[key] = value;
  return CQiError();
}

CQiError CBag::Read(const std::string& key, std::string& value) const {
  CQiError err = platform::InjectedFault("CBag::Read", FXCODELOC);
  if (err.IsError()) return err;
  const auto found = m_mapValues.find(key);
  if (found == m_mapValues.end())
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorNotFound, "Key '%s' not found", key.c_str());
  value = found->second;
  return CQiError();
}

std::list<std::string> CBag::allKeys() const {
  std::list<std::string> keys;
  for (const auto& entry : m_mapValues) keys.push_back(entry.first);
  return keys;
}

void CBag::GetSerializedData(std::string& text) const {
  text.assign(kPrefix);
  for (const auto& entry : m_mapValues) {
    AppendEscaped(entry.first, text);
    text.push_back('=');
    AppendEscaped(entry.second, text);
    text.push_back(';');
  }
}

CQiError CBag::LoadSerializedData(const std::string& text) {
  CQiError err = platform::InjectedFault("CBag::LoadSerializedData", FXCODELOC);
  if (err.IsError()) return err;
  std::map<std::string, std::string> values;
  bool ok = text.compare(0, kPrefixLength, kPrefix) == 0;
  std::string key;
  std::string value;
  for (size_t at = kPrefixLength; ok && at < text.size();)
    ok = ReadEscaped(text, at, '=', key) && ReadEscaped(text, at, ';', value) &&
         values.emplace(std::move(key), std::move(value)).second;
  if (!ok) return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorBadText, "Invalid bag text");
  m_mapValues.swap(values);
  return CQiError();
}
