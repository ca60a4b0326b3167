#pragma once
// One service's section of a seed document (see seed.h), and the reader that
// checks a JSON object against the keys and types a section expects.
//
// A new service adds a class deriving from SeedSection in a seed_<service>.cc
// file and one line to MakeSeedSections in seed_sections.cc.
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace blbsim {

// A refused document; the message begins with the JSON path of the fault.
class SeedRefused : public std::runtime_error {
 public:
  SeedRefused(const std::string& path, const std::string& what) : std::runtime_error(path + ": " + what) {}
};

// One JSON object of the document, read key by key. Its keys must be among
// those given; a key asked for without a fallback must be present.
class SeedObject {
 public:
  SeedObject(const nlohmann::json& value, std::string path, const std::vector<const char*>& keys);

  uint64_t Unsigned(const char* key) const;
  uint64_t Unsigned(const char* key, uint64_t fallback) const;
  // Refused beyond 32 bits.
  uint32_t Unsigned32(const char* key) const;
  uint32_t Unsigned32(const char* key, uint32_t fallback) const;
  long long Integer(const char* key) const;
  long long Integer(const char* key, long long fallback) const;
  // Refused outside a signed 32-bit range.
  int Integer32(const char* key) const;
  int Integer32(const char* key, int fallback) const;
  std::string Text(const char* key) const;
  std::string Text(const char* key, const std::string& fallback) const;
  bool Flag(const char* key, bool fallback) const;
  bool Has(const char* key) const { return value_->contains(key); }
  // The texts of an array of texts (none when the key is absent).
  std::vector<std::string> Texts(const char* key) const;
  // The elements of an array of objects (none when the key is absent), each
  // read with the given keys.
  std::vector<SeedObject> Rows(const char* key, const std::vector<const char*>& keys) const;

  std::string PathOf(const char* key) const { return path_ + "." + key; }

 private:
  long long Integer(const char* key, long long fallback, bool required) const;
  // The member, checked with the type test; null when absent.
  const nlohmann::json* Member(const char* key, bool required, bool (nlohmann::json::*isType)() const,
                               const char* typeName) const;

  const nlohmann::json* value_;
  std::string path_;
};

class SeedSection {
 public:
  virtual ~SeedSection() = default;
  // The document's key: the service's name.
  virtual const char* Name() const = 0;
  // Checks the section and keeps its rows; throws SeedRefused.
  virtual void Read(const SeedObject& section) = 0;
  // The section's keys, for the reader of the section object.
  virtual std::vector<const char*> Keys() const = 0;
  // Writes the kept rows (inside the seed's transaction); false on failure.
  virtual bool Apply() = 0;
  virtual nlohmann::json Dump() = 0;
};

// Every section, in the order they are applied.
std::vector<std::unique_ptr<SeedSection>> MakeSeedSections();

std::unique_ptr<SeedSection> MakeAgentConfigSection();
std::unique_ptr<SeedSection> MakeArchiveManagerSection();
std::unique_ptr<SeedSection> MakeFaultTableSection();
std::unique_ptr<SeedSection> MakeApplicationListSection();
std::unique_ptr<SeedSection> MakeOracleAgentSection();
std::unique_ptr<SeedSection> MakeVolumeManagerSection();
std::unique_ptr<SeedSection> MakeJobManagerSection();
std::unique_ptr<SeedSection> MakeSnapshotLibrarySection();
std::unique_ptr<SeedSection> MakeJobInfoSection();
std::unique_ptr<SeedSection> MakeIndexItemsSection();

}  // namespace blbsim
