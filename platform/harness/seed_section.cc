#include "platform/harness/seed_section.h"

#include <climits>
#include <utility>

namespace blbsim {
namespace {

std::string KeyList(const std::vector<const char*>& keys) {
  std::string list;
  for (const char* key : keys) list += (list.empty() ? "" : ", ") + std::string(key);
  return list;
}

// The value of the object's key within 32 bits, else refused at the key.
uint32_t Within32Bits(const SeedObject& object, const char* key, uint64_t value) {
  if (value > UINT32_MAX) throw SeedRefused(object.PathOf(key), "out of range");
  return static_cast<uint32_t>(value);
}

int Within32Bits(const SeedObject& object, const char* key, long long value) {
  if (value < INT32_MIN || value > INT32_MAX) throw SeedRefused(object.PathOf(key), "out of range");
  return static_cast<int>(value);
}

}  // namespace

SeedObject::SeedObject(const nlohmann::json& value, std::string path, const std::vector<const char*>& keys)
    : value_(&value), path_(std::move(path)) {
  if (!value.is_object()) throw SeedRefused(path_, std::string("expected an object, found ") + value.type_name());
  for (const auto& member : value.items()) {
    bool known = false;
    for (const char* key : keys) known = known || member.key() == key;
    if (!known) throw SeedRefused(path_ + "." + member.key(), "unknown key (known: " + KeyList(keys) + ")");
  }
}

const nlohmann::json* SeedObject::Member(const char* key, bool required, bool (nlohmann::json::*isType)() const,
                                         const char* typeName) const {
  auto found = value_->find(key);
  if (found == value_->end()) {
    if (required) throw SeedRefused(PathOf(key), "missing");
    return nullptr;
  }
  if (!((*found).*isType)())
    throw SeedRefused(PathOf(key), std::string("expected ") + typeName + ", found " + found->type_name());
  return &*found;
}

uint64_t SeedObject::Unsigned(const char* key) const {
  return Member(key, true, &nlohmann::json::is_number_unsigned, "a whole number of 0 or more")->get<uint64_t>();
}

uint64_t SeedObject::Unsigned(const char* key, uint64_t fallback) const {
  const nlohmann::json* member = Member(key, false, &nlohmann::json::is_number_unsigned, "a whole number of 0 or more");
  return member != nullptr ? member->get<uint64_t>() : fallback;
}

uint32_t SeedObject::Unsigned32(const char* key) const {
  return Within32Bits(*this, key, Unsigned(key));
}

uint32_t SeedObject::Unsigned32(const char* key, uint32_t fallback) const {
  return Within32Bits(*this, key, Unsigned(key, fallback));
}

long long SeedObject::Integer(const char* key) const {
  return Integer(key, 0, true);
}

long long SeedObject::Integer(const char* key, long long fallback) const {
  return Integer(key, fallback, false);
}

int SeedObject::Integer32(const char* key) const {
  return Within32Bits(*this, key, Integer(key));
}

int SeedObject::Integer32(const char* key, int fallback) const {
  return Within32Bits(*this, key, Integer(key, fallback));
}

long long SeedObject::Integer(const char* key, long long fallback, bool required) const {
  const nlohmann::json* member = Member(key, required, &nlohmann::json::is_number_integer, "a whole number");
  if (member == nullptr) return fallback;
  if (member->is_number_unsigned() && member->get<uint64_t>() > static_cast<uint64_t>(LLONG_MAX))
    throw SeedRefused(PathOf(key), "out of range");
  return member->get<long long>();
}

std::string SeedObject::Text(const char* key) const {
  return Member(key, true, &nlohmann::json::is_string, "a text")->get<std::string>();
}

std::string SeedObject::Text(const char* key, const std::string& fallback) const {
  const nlohmann::json* member = Member(key, false, &nlohmann::json::is_string, "a text");
  return member != nullptr ? member->get<std::string>() : fallback;
}

bool SeedObject::Flag(const char* key, bool fallback) const {
  const nlohmann::json* member = Member(key, false, &nlohmann::json::is_boolean, "true or false");
  return member != nullptr ? member->get<bool>() : fallback;
}

std::vector<SeedObject> SeedObject::Rows(const char* key, const std::vector<const char*>& keys) const {
  std::vector<SeedObject> rows;
  const nlohmann::json* array = Member(key, false, &nlohmann::json::is_array, "an array");
  if (array == nullptr) return rows;
  for (size_t i = 0; i < array->size(); ++i)
    rows.emplace_back((*array)[i], PathOf(key) + "[" + std::to_string(i) + "]", keys);
  return rows;
}

std::vector<std::string> SeedObject::Texts(const char* key) const {
  std::vector<std::string> texts;
  const nlohmann::json* array = Member(key, false, &nlohmann::json::is_array, "an array");
  if (array == nullptr) return texts;
  for (size_t i = 0; i < array->size(); ++i) {
    if (!(*array)[i].is_string())
      throw SeedRefused(PathOf(key) + "[" + std::to_string(i) + "]",
                        std::string("expected a text, found ") + (*array)[i].type_name());
    texts.push_back((*array)[i].get<std::string>());
  }
  return texts;
}

std::vector<std::unique_ptr<SeedSection>> MakeSeedSections() {
  std::vector<std::unique_ptr<SeedSection>> sections;
  sections.push_back(MakeAgentConfigSection());
  sections.push_back(MakeApplicationListSection());
  sections.push_back(MakeOracleAgentSection());
  sections.push_back(MakeVolumeManagerSection());
  sections.push_back(MakeArchiveManagerSection());
  sections.push_back(MakeJobManagerSection());
  sections.push_back(MakeSnapshotLibrarySection());
  sections.push_back(MakeJobInfoSection());
  sections.push_back(MakeIndexItemsSection());
  sections.push_back(MakeFaultTableSection());
  return sections;
}

}  // namespace blbsim
