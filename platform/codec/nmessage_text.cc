// The codec's text form.
//
//   message := "M" int ":" int "{" [ field { "," field } ] "}"
//   field   := int ":" int "=" value          (ascending, no repeats)
//   value   := "i" int64 | "u" uint64 | "s" quoted | "b" quoted | message
//            | "[" [ value { "," value } ] "]"
//   quoted  := '"' { printable byte other than '"' '\' '|' | "\x" hex hex } '"'
//
// Numbers are plain decimal with no leading zeros and no "-0", so every
// message has exactly one text. The reader checks every byte it consumes,
// limits nesting to kMaxDepth, and builds into a new message that replaces
// the old one only when the whole text was read.
#include <algorithm>
#include <climits>

#include "platform/codec/nmessage_base.h"
#include "platform/codec/nmessage_value.h"

using codec::FieldKey;
using codec::Value;

namespace {

const char kHex[] = "0123456789ABCDEF";

bool IsLiteral(unsigned char byte) { return byte >= 0x20 && byte <= 0x7E && byte != '"' && byte != '\\' && byte != '|'; }

void WriteQuoted(const std::string& text, std::string& out) {
  out += '"';
  for (unsigned char byte : text) {
    if (IsLiteral(byte)) {
      out += static_cast<char>(byte);
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  out += '"';
}

void WriteMessage(const CNMessageBase::Impl& impl, std::string& out);

void WriteValue(const Value& value, std::string& out) {
  switch (value.kind) {
    case Value::Kind::kInt:
      out += 'i';
      out += std::to_string(value.i);
      break;
    case Value::Kind::kUInt:
      out += 'u';
      out += std::to_string(value.u);
      break;
    case Value::Kind::kText:
      out += 's';
      WriteQuoted(value.s, out);
      break;
    case Value::Kind::kBytes:
      out += 'b';
      WriteQuoted(value.s, out);
      break;
    case Value::Kind::kMessage:
      WriteMessage(*value.message, out);
      break;
    case Value::Kind::kList: {
      out += '[';
      bool first = true;
      for (const Value& item : value.items) {
        if (!first) out += ',';
        first = false;
        WriteValue(item, out);
      }
      out += ']';
      break;
    }
  }
}

void WriteMessage(const CNMessageBase::Impl& impl, std::string& out) {
  out += 'M';
  out += std::to_string(impl.module);
  out += ':';
  out += std::to_string(impl.type);
  out += '{';
  bool first = true;
  for (const auto& [key, value] : impl.fields) {
    if (!first) out += ',';
    first = false;
    out += std::to_string(key.first);
    out += ':';
    out += std::to_string(key.second);
    out += '=';
    WriteValue(value, out);
  }
  out += '}';
}

class Reader {
 public:
  explicit Reader(const std::string& text) : m_sText(text) {}

  bool ReadWhole(CNMessageBase::Impl& impl) {
    if (!ReadMessage(impl, 1)) return false;
    if (m_nPos != m_sText.size()) return Fail("text after the message");
    return true;
  }
  const std::string& Why() const { return m_sWhy; }

 private:
  bool Fail(const std::string& what) {
    if (m_sWhy.empty()) m_sWhy = what + " at offset " + std::to_string(m_nPos);
    return false;
  }
  bool AtEnd() const { return m_nPos >= m_sText.size(); }
  char Peek() const { return AtEnd() ? '\0' : m_sText[m_nPos]; }
  bool Expect(char wanted) {
    if (AtEnd() || m_sText[m_nPos] != wanted) return Fail(std::string("expected '") + wanted + "'");
    ++m_nPos;
    return true;
  }

  // Canonical decimal digits into an unsigned magnitude not above `limit`.
  bool ReadMagnitude(uint64_t limit, uint64_t& magnitude) {
    const size_t start = m_nPos;
    magnitude = 0;
    while (!AtEnd() && m_sText[m_nPos] >= '0' && m_sText[m_nPos] <= '9') {
      const uint64_t digit = static_cast<uint64_t>(m_sText[m_nPos] - '0');
      if (magnitude > (limit - digit) / 10) return Fail("number out of range");
      magnitude = magnitude * 10 + digit;
      ++m_nPos;
    }
    if (m_nPos == start) return Fail("expected a number");
    if (m_sText[start] == '0' && m_nPos - start > 1) return Fail("number with a leading zero");
    return true;
  }

  bool ReadSigned(int64_t minimum, int64_t maximum, int64_t& value) {
    const bool negative = Peek() == '-';
    if (negative) ++m_nPos;
    uint64_t magnitude = 0;
    const uint64_t limit = negative ? static_cast<uint64_t>(-(minimum + 1)) + 1 : static_cast<uint64_t>(maximum);
    if (!ReadMagnitude(limit, magnitude)) return false;
    if (negative && magnitude == 0) return Fail("negative zero");
    value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
  }

  bool ReadInt(int& value) {
    int64_t wide = 0;
    if (!ReadSigned(INT_MIN, INT_MAX, wide)) return false;
    value = static_cast<int>(wide);
    return true;
  }

  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;  // lower case is not the canonical form
  }

  bool ReadQuoted(std::string& out) {
    if (!Expect('"')) return false;
    for (;;) {
      if (AtEnd()) return Fail("unterminated text");
      const unsigned char byte = static_cast<unsigned char>(m_sText[m_nPos]);
      if (byte == '"') {
        ++m_nPos;
        return true;
      }
      if (byte == '\\') {
        if (m_sText.size() - m_nPos < 4 || m_sText[m_nPos + 1] != 'x') return Fail("bad escape");
        const int high = HexDigit(m_sText[m_nPos + 2]);
        const int low = HexDigit(m_sText[m_nPos + 3]);
        if (high < 0 || low < 0) return Fail("bad escape");
        const unsigned char decoded = static_cast<unsigned char>(high * 16 + low);
        if (IsLiteral(decoded)) return Fail("escaped printable byte");
        out += static_cast<char>(decoded);
        m_nPos += 4;
        continue;
      }
      if (!IsLiteral(byte)) return Fail("unescaped byte");
      out += static_cast<char>(byte);
      ++m_nPos;
    }
  }

  bool ReadValue(Value& value, int depth) {
    switch (Peek()) {
      case 'i':
        ++m_nPos;
        value.kind = Value::Kind::kInt;
        return ReadSigned(INT64_MIN, INT64_MAX, value.i);
      case 'u':
        ++m_nPos;
        value.kind = Value::Kind::kUInt;
        return ReadMagnitude(UINT64_MAX, value.u);
      case 's':
        ++m_nPos;
        value.kind = Value::Kind::kText;
        return ReadQuoted(value.s);
      case 'b':
        ++m_nPos;
        value.kind = Value::Kind::kBytes;
        return ReadQuoted(value.s);
      case 'M': {
        auto nested = std::make_shared<CNMessageBase::Impl>();
        if (!ReadMessage(*nested, depth)) return false;
        value.kind = Value::Kind::kMessage;
        value.height = nested->height;
        value.message = std::move(nested);
        return true;
      }
      case '[':
        return ReadList(value, depth);
      default:
        return Fail("expected a value");
    }
  }

  bool ReadList(Value& value, int depth) {
    if (depth > CNMessageBase::kMaxDepth) return Fail("nested too deeply");
    ++m_nPos;  // '['
    value.kind = Value::Kind::kList;
    int highest = 0;
    if (Peek() != ']') {
      for (;;) {
        Value item;
        if (!ReadValue(item, depth + 1)) return false;
        highest = std::max(highest, item.height);
        value.items.push_back(std::move(item));
        if (Peek() != ',') break;
        ++m_nPos;
      }
    }
    value.height = highest + 1;
    return Expect(']');
  }

  bool ReadMessage(CNMessageBase::Impl& impl, int depth) {
    if (depth > CNMessageBase::kMaxDepth) return Fail("nested too deeply");
    if (!Expect('M') || !ReadInt(impl.module) || !Expect(':') || !ReadInt(impl.type) || !Expect('{')) return false;
    int highest = 0;
    if (Peek() != '}') {
      for (;;) {
        FieldKey key;
        if (!ReadInt(key.first) || !Expect(':') || !ReadInt(key.second) || !Expect('=')) return false;
        if (!impl.fields.empty() && !(impl.fields.rbegin()->first < key)) return Fail("field out of order");
        Value value;
        if (!ReadValue(value, depth + 1)) return false;
        highest = std::max(highest, value.height);
        impl.fields.emplace_hint(impl.fields.end(), key, std::move(value));
        if (Peek() != ',') break;
        ++m_nPos;
      }
    }
    impl.height = highest + 1;
    return Expect('}');
  }

  const std::string& m_sText;
  size_t m_nPos = 0;
  std::string m_sWhy;
};

}  // namespace

int CNMessageBase::serialize(std::string& text, bool append) const {
  if (!append) text.clear();
  WriteMessage(*m_pImpl, text);
  return 0;
}

std::string CNMessageBase::toString() const {
  std::string text;
  serialize(text, false);
  return text;
}

int CNMessageBase::unserialize(const std::string& text, std::string* why) {
  auto parsed = std::make_shared<Impl>();
  Reader reader(text);
  if (!reader.ReadWhole(*parsed)) {
    if (why != nullptr) *why = reader.Why();
    return -1;
  }
  if (isTyped() && (parsed->module != m_pImpl->module || parsed->type != m_pImpl->type)) {
    if (why != nullptr) {
      *why = "message (" + std::to_string(parsed->module) + ", " + std::to_string(parsed->type) + ") is not (" +
             std::to_string(m_pImpl->module) + ", " + std::to_string(m_pImpl->type) + ")";
    }
    return -1;
  }
  m_pImpl = std::move(parsed);
  return 0;
}
