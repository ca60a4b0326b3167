#pragma once
// The codec's inner representation, shared by the accessors and the text
// form. Not for callers.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/codec/nmessage_base.h"

namespace codec {

struct Value {
  enum class Kind : uint8_t { kInt, kUInt, kText, kBytes, kMessage, kList };
  Kind kind = Kind::kInt;
  int64_t i = 0;
  uint64_t u = 0;
  std::string s;  // text or bytes
  // Nested messages are copies and never change once stored, so copies of a
  // message share them.
  std::shared_ptr<const CNMessageBase::Impl> message;
  std::vector<Value> items;
  // Levels of messages and lists in this value (0 for a scalar).
  int height = 0;
};

bool operator==(const Value& a, const Value& b);
inline bool operator!=(const Value& a, const Value& b) { return !(a == b); }

using FieldKey = std::pair<int, int>;

}  // namespace codec

struct CNMessageBase::Impl {
  int module = 0;
  int type = 0;
  std::map<codec::FieldKey, codec::Value> fields;
  // Levels of messages and lists, this message included.
  int height = 1;
};

// The same pair and the same fields; the nesting height follows from them.
bool operator==(const CNMessageBase::Impl& a, const CNMessageBase::Impl& b);
