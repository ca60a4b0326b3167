#pragma once
// CNMessageBase: the agent's message codec.
//
// A message is its (module, type) pair and a set of fields. A field is named
// by the pair (field number, tag) as the generated message classes number
// them (one number where both are equal) and holds one value: a signed or
// unsigned 64-bit integer, a text, a byte string, a nested message, or a list
// (of texts, integers or messages).
//
// The text form (serialize) is one line of printable ASCII: no line end and
// no '|' inside, every other byte value escaped as \xHH. It is deterministic
// (fields in ascending (number, tag) order) and unserialize of it gives the
// same message back. Example:
//   M22:295{1:1=s"/data",2:5=s"DATA"}
//
// The check numbers that the generated code passes with each accessor are
// checked where the codec can: a non-zero message check number must be the
// message's tag id, or the call does nothing (setters return -1, getters give
// the empty value). Field check numbers are accepted and not checked.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/codec/bstring.h"

// A field of a generated message: its (number, tag) pair and the check
// number that the generated code passes with it.
struct CNFieldId {
  int number;
  int tag;
  uint32_t check;
};

class CNMessageBase {
 public:
  // The deepest nesting of messages and lists that unserialize accepts.
  static constexpr int kMaxDepth = 64;

  // An untyped message: unserialize takes the pair from the text.
  CNMessageBase();
  CNMessageBase(int module, int type);
  CNMessageBase(const CNMessageBase& other);
  CNMessageBase& operator=(const CNMessageBase& other);
  virtual ~CNMessageBase();

  int getModule() const;
  int getType() const;
  // Whether the message was made for one (module, type): such a message
  // reads back only texts of its own type. A message made untyped stays
  // untyped when it reads a text.
  bool isTyped() const { return m_bTyped; }
  // The generated class's tag id and name ("databrowse::BrowseResponse").
  uint32_t getTagID() const;
  std::string getTagName() const;

  // Setters replace the field's value; 0, or -1 for a wrong check number.
  int setint64(int number, int tag, int64_t value, uint32_t messageCheck = 0, uint32_t fieldCheck = 0);
  int setuint64(int number, int tag, uint64_t value, uint32_t messageCheck = 0, uint32_t fieldCheck = 0);
  int setstring(int number, int tag, const std::string& value, uint32_t messageCheck = 0,
                uint32_t fieldCheck = 0);
  int setbytes(int number, int tag, const void* data, size_t length, uint32_t messageCheck = 0,
               uint32_t fieldCheck = 0);
  int setObjectAccessor(int number, int tag, const CNMessageBase& value, uint32_t messageCheck = 0,
                        uint32_t fieldCheck = 0);
  int setliststring(int number, int tag, const std::vector<std::string>& values, uint32_t messageCheck = 0,
                    uint32_t fieldCheck = 0);
  int setlistint64(int number, int tag, const std::vector<int64_t>& values, uint32_t messageCheck = 0,
                   uint32_t fieldCheck = 0);
  int setlistobject(int number, int tag, const std::vector<CNMessageBase>& values, uint32_t messageCheck = 0,
                    uint32_t fieldCheck = 0);
  // Append one element to a list field (made empty first when the field is
  // unset or not a list).
  int addliststring(int number, int tag, const std::string& value, uint32_t messageCheck = 0,
                    uint32_t fieldCheck = 0);
  int addlistobject(int number, int tag, const CNMessageBase& value, uint32_t messageCheck = 0,
                    uint32_t fieldCheck = 0);
  // Removes the field; 0 whether or not it was set.
  int unset(int number, int tag);
  void clear();

  bool isSet(int number, int tag) const;
  // Whether a field with this field number is set, whatever its tag.
  bool isSetNumber(int number) const;
  size_t fieldCount() const;

  // Getters give the empty value (0, "", empty list) for a field that is not
  // set or holds another kind. The two integer kinds read each other
  // (as the same 64 bits).
  int64_t getint64(int number, int tag, uint32_t messageCheck = 0, uint32_t fieldCheck = 0) const;
  uint64_t getuint64(int number, int tag, uint32_t messageCheck = 0, uint32_t fieldCheck = 0) const;
  std::string getstring(int number, int tag, uint32_t messageCheck = 0, uint32_t fieldCheck = 0) const;
  // Valid until the field is changed or the message is destroyed.
  const std::string& getstringByRef(int number, int tag, uint32_t messageCheck = 0, uint32_t fieldCheck = 0) const;
  std::string getbytes(int number, int tag, uint32_t messageCheck = 0, uint32_t fieldCheck = 0) const;
  bstring getbstringobject(int number, int tag, uint32_t messageCheck = 0, uint32_t fieldCheck = 0) const;
  // Copies a nested message into `value`; false when the field is not a
  // message, or when `value` is typed and the nested message is of another
  // type (`value` is unchanged then).
  bool getObjectAccessor(int number, int tag, CNMessageBase& value, uint32_t messageCheck = 0,
                         uint32_t fieldCheck = 0) const;
  // List elements of another kind are skipped.
  std::vector<std::string> getliststring(int number, int tag, uint32_t messageCheck = 0,
                                         uint32_t fieldCheck = 0) const;
  std::vector<int64_t> getlistint64(int number, int tag, uint32_t messageCheck = 0, uint32_t fieldCheck = 0) const;
  std::vector<CNMessageBase> getlistobject(int number, int tag, uint32_t messageCheck = 0,
                                           uint32_t fieldCheck = 0) const;

  // The one-line text form; replaces `text`, or appends to it when `append`
  // is true. Returns 0.
  int serialize(std::string& text, bool append = false) const;
  std::string toString() const;
  // Replaces the message with the one in `text`; 0, or -1 when the text is
  // not one well-formed message (of this message's type, when it is typed).
  // A failure leaves the message unchanged and, when `why` is given, tells
  // what was wrong.
  int unserialize(const std::string& text, std::string* why = nullptr);

  bool operator==(const CNMessageBase& other) const;
  bool operator!=(const CNMessageBase& other) const { return !(*this == other); }

  struct Impl;

 private:
  bool CheckMessage(uint32_t messageCheck) const;
  std::shared_ptr<Impl> m_pImpl;
  bool m_bTyped = false;
};
