#include "platform/codec/nmessage_base.h"

#include <algorithm>

#include "platform/codec/message_catalog.h"
#include "platform/codec/nmessage_value.h"

using codec::FieldKey;
using codec::Value;

bool operator==(const CNMessageBase::Impl& a, const CNMessageBase::Impl& b) {
  return a.module == b.module && a.type == b.type && a.fields == b.fields;
}

namespace codec {

bool operator==(const Value& a, const Value& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case Value::Kind::kInt:
      return a.i == b.i;
    case Value::Kind::kUInt:
      return a.u == b.u;
    case Value::Kind::kText:
    case Value::Kind::kBytes:
      return a.s == b.s;
    case Value::Kind::kMessage:
      return *a.message == *b.message;
    case Value::Kind::kList:
      return a.items == b.items;
  }
  return false;
}

}  // namespace codec

namespace {

Value MessageValue(const CNMessageBase::Impl& impl) {
  Value value;
  value.kind = Value::Kind::kMessage;
  value.message = std::make_shared<const CNMessageBase::Impl>(impl);
  value.height = impl.height;
  return value;
}

Value ListValue(std::vector<Value> items) {
  Value value;
  value.kind = Value::Kind::kList;
  int highest = 0;
  for (const Value& item : items) highest = std::max(highest, item.height);
  value.height = highest + 1;
  value.items = std::move(items);
  return value;
}

Value TextValue(Value::Kind kind, std::string text) {
  Value value;
  value.kind = kind;
  value.s = std::move(text);
  return value;
}

const std::string& EmptyText() {
  static const std::string empty;
  return empty;
}

}  // namespace

CNMessageBase::CNMessageBase() : m_pImpl(std::make_shared<Impl>()) {}

CNMessageBase::CNMessageBase(int module, int type) : m_pImpl(std::make_shared<Impl>()), m_bTyped(true) {
  m_pImpl->module = module;
  m_pImpl->type = type;
}

CNMessageBase::CNMessageBase(const CNMessageBase& other)
    : m_pImpl(std::make_shared<Impl>(*other.m_pImpl)), m_bTyped(other.m_bTyped) {}

CNMessageBase& CNMessageBase::operator=(const CNMessageBase& other) {
  if (this != &other) {
    m_pImpl = std::make_shared<Impl>(*other.m_pImpl);
    m_bTyped = other.m_bTyped;
  }
  return *this;
}

CNMessageBase::~CNMessageBase() = default;

int CNMessageBase::getModule() const { return m_pImpl->module; }
int CNMessageBase::getType() const { return m_pImpl->type; }
uint32_t CNMessageBase::getTagID() const { return codec::MessageTagId(m_pImpl->module, m_pImpl->type); }
std::string CNMessageBase::getTagName() const { return codec::MessageTagName(m_pImpl->module, m_pImpl->type); }

bool CNMessageBase::CheckMessage(uint32_t messageCheck) const {
  return messageCheck == 0 || messageCheck == getTagID();
}

namespace {

// Stores a value unless it would nest deeper than the text form allows.
int Store(CNMessageBase::Impl& impl, int number, int tag, Value value) {
  const int height = std::max(impl.height, value.height + 1);
  if (height > CNMessageBase::kMaxDepth) return -1;
  impl.height = height;
  impl.fields[FieldKey(number, tag)] = std::move(value);
  return 0;
}

const Value* Find(const CNMessageBase::Impl& impl, int number, int tag) {
  auto found = impl.fields.find(FieldKey(number, tag));
  return found == impl.fields.end() ? nullptr : &found->second;
}

// The elements of a list field; none for a field that is missing or not a list.
const std::vector<Value>& ListItems(const Value* field) {
  static const std::vector<Value> kNone;
  return field != nullptr && field->kind == Value::Kind::kList ? field->items : kNone;
}

}  // namespace

int CNMessageBase::setint64(int number, int tag, int64_t value, uint32_t messageCheck, uint32_t) {
  if (!CheckMessage(messageCheck)) return -1;
  Value stored;
  stored.kind = Value::Kind::kInt;
  stored.i = value;
  return Store(*m_pImpl, number, tag, std::move(stored));
}

int CNMessageBase::setuint64(int number, int tag, uint64_t value, uint32_t messageCheck, uint32_t) {
  if (!CheckMessage(messageCheck)) return -1;
  Value stored;
  stored.kind = Value::Kind::kUInt;
  stored.u = value;
  return Store(*m_pImpl, number, tag, std::move(stored));
}

int CNMessageBase::setstring(int number, int tag, const std::string& value, uint32_t messageCheck, uint32_t) {
  if (!CheckMessage(messageCheck)) return -1;
  return Store(*m_pImpl, number, tag, TextValue(Value::Kind::kText, value));
}

int CNMessageBase::setbytes(int number, int tag, const void* data, size_t length, uint32_t messageCheck, uint32_t) {
  if (!CheckMessage(messageCheck) || (data == nullptr && length != 0)) return -1;
  return Store(*m_pImpl, number, tag,
               TextValue(Value::Kind::kBytes, std::string(static_cast<const char*>(data), length)));
}

int CNMessageBase::setObjectAccessor(int number, int tag, const CNMessageBase& value, uint32_t messageCheck,
                                     uint32_t) {
  if (!CheckMessage(messageCheck)) return -1;
  return Store(*m_pImpl, number, tag, MessageValue(*value.m_pImpl));
}

int CNMessageBase::setliststring(int number, int tag, const std::vector<std::string>& values, uint32_t messageCheck,
                                 uint32_t) {
  if (!CheckMessage(messageCheck)) return -1;
  std::vector<Value> items;
  items.reserve(values.size());
  for (const std::string& text : values) items.push_back(TextValue(Value::Kind::kText, text));
  return Store(*m_pImpl, number, tag, ListValue(std::move(items)));
}

int CNMessageBase::setlistint64(int number, int tag, const std::vector<int64_t>& values, uint32_t messageCheck,
                                uint32_t) {
  if (!CheckMessage(messageCheck)) return -1;
  std::vector<Value> items(values.size());
  for (size_t index = 0; index < values.size(); ++index) items[index].i = values[index];
  return Store(*m_pImpl, number, tag, ListValue(std::move(items)));
}

int CNMessageBase::setlistobject(int number, int tag, const std::vector<CNMessageBase>& values,
                                 uint32_t messageCheck, uint32_t) {
  if (!CheckMessage(messageCheck)) return -1;
  std::vector<Value> items;
  items.reserve(values.size());
  for (const CNMessageBase& message : values) items.push_back(MessageValue(*message.m_pImpl));
  return Store(*m_pImpl, number, tag, ListValue(std::move(items)));
}

namespace {

int Append(CNMessageBase::Impl& impl, int number, int tag, Value item) {
  std::vector<Value> items = ListItems(Find(impl, number, tag));
  items.push_back(std::move(item));
  return Store(impl, number, tag, ListValue(std::move(items)));
}

}  // namespace

int CNMessageBase::addliststring(int number, int tag, const std::string& value, uint32_t messageCheck, uint32_t) {
  if (!CheckMessage(messageCheck)) return -1;
  return Append(*m_pImpl, number, tag, TextValue(Value::Kind::kText, value));
}

int CNMessageBase::addlistobject(int number, int tag, const CNMessageBase& value, uint32_t messageCheck, uint32_t) {
  if (!CheckMessage(messageCheck)) return -1;
  return Append(*m_pImpl, number, tag, MessageValue(*value.m_pImpl));
}

int CNMessageBase::unset(int number, int tag) {
  m_pImpl->fields.erase(FieldKey(number, tag));
  return 0;
}

void CNMessageBase::clear() {
  m_pImpl->fields.clear();
  m_pImpl->height = 1;
}

bool CNMessageBase::isSet(int number, int tag) const { return Find(*m_pImpl, number, tag) != nullptr; }

bool CNMessageBase::isSetNumber(int number) const {
  auto found = m_pImpl->fields.lower_bound(FieldKey(number, INT32_MIN));
  return found != m_pImpl->fields.end() && found->first.first == number;
}

size_t CNMessageBase::fieldCount() const { return m_pImpl->fields.size(); }

int64_t CNMessageBase::getint64(int number, int tag, uint32_t messageCheck, uint32_t) const {
  const Value* value = CheckMessage(messageCheck) ? Find(*m_pImpl, number, tag) : nullptr;
  if (value == nullptr) return 0;
  if (value->kind == Value::Kind::kInt) return value->i;
  if (value->kind == Value::Kind::kUInt) return static_cast<int64_t>(value->u);
  return 0;
}

uint64_t CNMessageBase::getuint64(int number, int tag, uint32_t messageCheck, uint32_t) const {
  const Value* value = CheckMessage(messageCheck) ? Find(*m_pImpl, number, tag) : nullptr;
  if (value == nullptr) return 0;
  if (value->kind == Value::Kind::kUInt) return value->u;
  if (value->kind == Value::Kind::kInt) return static_cast<uint64_t>(value->i);
  return 0;
}

const std::string& CNMessageBase::getstringByRef(int number, int tag, uint32_t messageCheck, uint32_t) const {
  const Value* value = CheckMessage(messageCheck) ? Find(*m_pImpl, number, tag) : nullptr;
  if (value == nullptr || value->kind != Value::Kind::kText) return EmptyText();
  return value->s;
}

std::string CNMessageBase::getstring(int number, int tag, uint32_t messageCheck, uint32_t fieldCheck) const {
  return getstringByRef(number, tag, messageCheck, fieldCheck);
}

std::string CNMessageBase::getbytes(int number, int tag, uint32_t messageCheck, uint32_t) const {
  const Value* value = CheckMessage(messageCheck) ? Find(*m_pImpl, number, tag) : nullptr;
  if (value == nullptr || (value->kind != Value::Kind::kBytes && value->kind != Value::Kind::kText)) return {};
  return value->s;
}

bstring CNMessageBase::getbstringobject(int number, int tag, uint32_t messageCheck, uint32_t fieldCheck) const {
  return bstring(getbytes(number, tag, messageCheck, fieldCheck));
}

bool CNMessageBase::getObjectAccessor(int number, int tag, CNMessageBase& value, uint32_t messageCheck,
                                      uint32_t) const {
  const Value* found = CheckMessage(messageCheck) ? Find(*m_pImpl, number, tag) : nullptr;
  if (found == nullptr || found->kind != Value::Kind::kMessage) return false;
  if (value.isTyped() && (value.getModule() != found->message->module || value.getType() != found->message->type)) {
    return false;
  }
  value.m_pImpl = std::make_shared<Impl>(*found->message);
  return true;
}

std::vector<std::string> CNMessageBase::getliststring(int number, int tag, uint32_t messageCheck, uint32_t) const {
  std::vector<std::string> texts;
  for (const Value& item : ListItems(CheckMessage(messageCheck) ? Find(*m_pImpl, number, tag) : nullptr)) {
    if (item.kind == Value::Kind::kText) texts.push_back(item.s);
  }
  return texts;
}

std::vector<int64_t> CNMessageBase::getlistint64(int number, int tag, uint32_t messageCheck, uint32_t) const {
  std::vector<int64_t> numbers;
  for (const Value& item : ListItems(CheckMessage(messageCheck) ? Find(*m_pImpl, number, tag) : nullptr)) {
    if (item.kind == Value::Kind::kInt) numbers.push_back(item.i);
    if (item.kind == Value::Kind::kUInt) numbers.push_back(static_cast<int64_t>(item.u));
  }
  return numbers;
}

std::vector<CNMessageBase> CNMessageBase::getlistobject(int number, int tag, uint32_t messageCheck, uint32_t) const {
  std::vector<CNMessageBase> messages;
  for (const Value& item : ListItems(CheckMessage(messageCheck) ? Find(*m_pImpl, number, tag) : nullptr)) {
    if (item.kind != Value::Kind::kMessage) continue;
    CNMessageBase message;
    message.m_pImpl = std::make_shared<Impl>(*item.message);
    messages.push_back(std::move(message));
  }
  return messages;
}

bool CNMessageBase::operator==(const CNMessageBase& other) const { return *m_pImpl == *other.m_pImpl; }
