#pragma once
// CAscii85: the Adobe form of base-85 text that carries file bytes inside
// index items. Each encoded chunk stands alone: "<~", four bytes to five
// characters of '!'..'u' ("z" for four zero bytes), a last group of n bytes
// as n + 1 characters, "~>". An empty chunk is "<~~>"; any other chunk is at
// least 6 characters, so a reader that splits concatenated chunks at "~>"
// may drop a remainder of 4 characters or fewer. The end marker is the first
// "~>" after the start marker: a chunk whose first character is '>' (its
// first word in [0x5A3BD50D, 0x5D57F4BE)) begins "<~>".
#include <cstddef>
#include <string>

#include "platform/error/qi_error.h"

class CAscii85 {
 public:
  // The chunk's text replaces `text`.
  static void Encode(const char* bytes, unsigned long length, std::string& text);

  // Decodes exactly one chunk: the text must start with "<~" and end with
  // the first "~>" after it. Anything else (no markers, text after the end
  // marker, whitespace, a character outside the alphabet, "z" inside a
  // group, a group above 2^32 - 1, a last group of one character) is
  // refused with 774 (fault "CAscii85::Decode"). The decoded bytes replace
  // `bytes`; after a refusal `bytes` holds the groups decoded before the
  // fault, which is what a reader writing "as far as the decoder yields"
  // gets.
  static CQiError Decode(const char* text, size_t length, std::string& bytes);
  static CQiError Decode(const std::string& text, std::string& bytes) {
    return Decode(text.data(), text.size(), bytes);
  }
};
