#include "platform/text/ascii85.h"

#include <cstdint>
#include <cstring>

#include "platform/sim/fault_table.h"

namespace {

constexpr unsigned kErrorBadText = 774;
constexpr char kFirst = '!';
constexpr char kLast = 'u';

// Groups are written straight into the text sized for the worst case (no
// zero group), then cut to what was written: one allocation per chunk.
size_t MaxEncodedLength(size_t length) {
  return 4 + length / 4 * 5 + (length % 4 ? length % 4 + 1 : 0);
}

char* PutGroup(uint32_t value, size_t characters, char* out) {
  char digits[5];
  for (int i = 4; i >= 0; --i) {
    digits[i] = static_cast<char>(kFirst + value % 85);
    value /= 85;
  }
  std::memcpy(out, digits, characters);
  return out + characters;
}

uint32_t BigEndianWord(const unsigned char* bytes, size_t count) {
  uint32_t word = 0;
  for (size_t i = 0; i < 4; ++i) word = word << 8 | (i < count ? bytes[i] : 0u);
  return word;
}

// The value of 2 to 5 digits, the missing ones taken as 'u' as the Adobe
// form pads a last group; false past 32 bits or outside the alphabet.
bool GroupValue(const char* digits, size_t count, uint32_t& value) {
  uint64_t total = 0;
  for (size_t i = 0; i < 5; ++i) {
    const char c = i < count ? digits[i] : kLast;
    if (c < kFirst || c > kLast) return false;
    total = total * 85 + static_cast<unsigned>(c - kFirst);
  }
  if (total > UINT32_MAX) return false;
  value = static_cast<uint32_t>(total);
  return true;
}

void PutWord(uint32_t word, size_t count, std::string& bytes) {
  const char all[4] = {static_cast<char>(word >> 24), static_cast<char>(word >> 16), static_cast<char>(word >> 8),
                       static_cast<char>(word)};
  bytes.append(all, count);
}

}  // namespace

void CAscii85::Encode(const char* bytes, unsigned long length, std::string& text) {
  text.resize(MaxEncodedLength(length));
  char* out = &text[0];
  *out++ = '<';
  *out++ = '~';
  const auto* in = reinterpret_cast<const unsigned char*>(bytes);
  size_t left = length;
  for (; left >= 4; in += 4, left -= 4) {
    const uint32_t word = BigEndianWord(in, 4);
    if (word == 0)
      *out++ = 'z';
    else
      out = PutGroup(word, 5, out);
  }
  if (left > 0) out = PutGroup(BigEndianWord(in, left), left + 1, out);
  *out++ = '~';
  *out++ = '>';
  text.resize(static_cast<size_t>(out - text.data()));
}

CQiError CAscii85::Decode(const char* text, size_t length, std::string& bytes) {
  bytes.clear();
  CQiError err = platform::InjectedFault("CAscii85::Decode", FXCODELOC);
  if (err.IsError()) return err;
  if (text == nullptr || length < 4 || std::memcmp(text, "<~", 2) != 0 || std::memcmp(text + length - 2, "~>", 2) != 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorBadText, "ASCII85 text is no <~...~> chunk");
  const char* const end = text + length - 2;
  bytes.reserve((length - 4) / 5 * 4 + 4);
  for (const char* at = text + 2; at < end;) {
    if (*at == 'z') {
      bytes.append(4, '\0');
      ++at;
      continue;
    }
    const size_t count = static_cast<size_t>(end - at) < 5 ? static_cast<size_t>(end - at) : 5;
    uint32_t word = 0;
    // A last group of one character would stand for less than a byte.
    if (count < 2 || !GroupValue(at, count, word))
      return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorBadText, "Invalid ASCII85 group at offset %zu",
                                     static_cast<size_t>(at - text));
    PutWord(word, count - 1, bytes);
    at += count;
  }
  return CQiError();
}
