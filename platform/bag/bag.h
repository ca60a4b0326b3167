#pragma once
// CBag: a bag of text keys and values, kept in key order (byte-wise), with
// a one-line text form that index items carry.
//
// The text form is "bag:" followed by "key=value;" per key in key order;
// '%', '=', ';' and every byte outside ' '..'~' are written as "%XX"
// (upper-case hexadecimal). Any key and value round-trip, and the text holds
// no zero byte, so it survives readers that stop at the first zero. An
// empty bag is "bag:".
#include <list>
#include <map>
#include <memory>
#include <string>

#include "platform/error/qi_error.h"

class CBag {
 public:
  // Sets the key's value (fault "CBag::Write").
  CQiError Write(const std::string& key, const std::string& value);
  // The key's value; 1168 (Windows-style) for a key the bag lacks, leaving
  // `value` unchanged (fault "CBag::Read").
  CQiError Read(const std::string& key, std::string& value) const;
  std::list<std::string> allKeys() const;

  void GetSerializedData(std::string& text) const;
  // Replaces the whole bag with the one the text describes; a text that is
  // not exactly such a form (a duplicate key, a bad escape, a byte that must
  // be escaped, a missing separator) is refused with 774 and the bag is left
  // as it was (fault "CBag::LoadSerializedData").
  CQiError LoadSerializedData(const std::string& text);

 private:
  std::map<std::string, std::string> m_mapValues;
};

using CBagPtr = std::shared_ptr<CBag>;
