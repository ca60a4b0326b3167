#pragma once
// bstring: the codec's text object, handed out by
// CNMessageBase::getbstringobject. It holds one byte string.
#include <string>

class bstring {
 public:
  bstring() = default;
  explicit bstring(std::string text) : m_sText(std::move(text)) {}
  bstring(const bstring&) = default;
  bstring& operator=(const bstring&) = default;
  virtual ~bstring() = default;

  const std::string& str() const { return m_sText; }

 private:
  std::string m_sText;
};
