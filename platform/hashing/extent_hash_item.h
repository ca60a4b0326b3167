#pragma once
// ExtentHashItem: one extent of a hash table, its name and the hash of its
// content. The text form of a table line is the 8-digit extent name, "|",
// the hash as 32 lower-case hexadecimal digits and "\n"; nothing else is a
// line (no spaces, no carriage return, no other widths).
//
// An item is valid only when both its name and its hash have that form; an
// invalid item is how a table says it has no more entries. Parsing is pure.
#include <string>

#include "platform/error/qi_error.h"

class ExtentHashItem {
 public:
  static constexpr unsigned kNameWidth = 8;
  static constexpr unsigned kHashLength = 32;
  // The id of an item that names no extent.
  static constexpr unsigned long long kNoExtent = ~0ull;

  ExtentHashItem() = default;
  // context is reserved and not read. The item is valid when name and hash
  // have the table's form.
  ExtentHashItem(const std::string& name, const std::string& hash, void* context);

  // Parses a stored line (its "\n" may be present or not). Anything else
  // fails with 774 and leaves the item reset.
  CQiError Initialize(const std::string& line);
  CQiError Initialize(const char* line, size_t length);

  bool IsValid() const { return m_bValid; }
  // Empty texts, not valid, id kNoExtent (-1).
  void Reset();
  unsigned long long GetExtentId() const { return m_nExtentId; }
  const std::string& GetExtentName() const { return m_sExtentName; }
  const std::string& GetExtentHash() const { return m_sExtentHash; }
  // The same extent with the same hash.
  bool Matches(const ExtentHashItem& other) const {
    return m_nExtentId == other.m_nExtentId && m_sExtentHash == other.m_sExtentHash;
  }

  // Appends the item's line, "\n" included, to text.
  void AppendLine(std::string& text) const;

 private:
  // Sets the fields when name and hash have the table's form.
  bool Set(const char* name, size_t nameLength, const char* hash, size_t hashLength);

  std::string m_sExtentName;
  std::string m_sExtentHash;
  bool m_bValid = false;
  unsigned long long m_nExtentId = kNoExtent;
};
