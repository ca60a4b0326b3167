// The Adobe base-85 form: round trips of any bytes, the chunk shape readers
// split on, and the texts the decoder refuses.
#include "platform/text/ascii85.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

namespace {

std::string Decoded(const std::string& text) {
  std::string bytes;
  CQiError err = CAscii85::Decode(text, bytes);
  return err.IsError() ? "error " + std::to_string(FXErrorUtil::GetCode(err)) : bytes;
}

}  // namespace

TEST(Ascii85, ChunksRoundTripAnyBytes) {
  testing_support::ScopedStateDir state;
  std::string every(256, '\0');
  for (int i = 0; i < 256; ++i) every[i] = static_cast<char>(i);
  // Known texts of other Adobe-form encoders, then random bytes with zero
  // groups, of every tail length.
  std::vector<std::pair<std::string, std::string>> cases = {
      {"Man ", "<~9jqo^~>"}, {std::string("\0\0\0\0\xff", 5), "<~zrr~>"},       {"\xff\xff\xff", "<~s8W*~>"},
      {"", "<~~>"},          {std::string("\x5B\xFF\x00\x00", 4), "<~>Q4['~>"}, {every, ""}};
  std::mt19937 random(85);
  for (size_t length : {1, 2, 3, 9, 70001}) {
    std::string bytes(length, '\0');
    for (char& b : bytes) b = static_cast<char>(random() % 4 == 0 ? 0 : random());
    cases.emplace_back(bytes, "");
  }
  for (const auto& c : cases) {
    std::string text;
    CAscii85::Encode(c.first.data(), c.first.size(), text);
    if (!c.second.empty()) {
      EXPECT_EQ(text, c.second);
    }
    EXPECT_GE(text.size(), c.first.empty() ? 4u : 6u);
    EXPECT_EQ(text.find("~>", 2), text.size() - 2);
    EXPECT_EQ(Decoded(text), c.first) << c.first.size();
  }
}

TEST(Ascii85, DecodeRefusesAnythingButOneChunk) {
  testing_support::ScopedStateDir state;
  for (const char* text : {"", "<~", "~>", "<~~", "9jqo^", "<~9jqo^", "9jqo^~>", " <~9jqo^~>", "<~9jqo^~> ",
                           "<~9jqo^~>~>", "<~9jqo^~><~~>", "<~9j qo^~>", "<~9j\nqo^~>", "<~9jqo^a~>", "<~9jzo^~>",
                           "<~s8W-\"~>", "<~uuuuu~>", "<~vvvvv~>", "<~9jqo^{~>"})
    EXPECT_EQ(Decoded(text), "error 774") << text;
  // What a refused text yields: the whole groups before the fault.
  std::string bytes;
  EXPECT_TRUE(CAscii85::Decode("<~9jqo^z!~>", bytes).IsError());
  EXPECT_EQ(bytes, std::string("Man \0\0\0\0", 8));

  platform::FaultTable::Set("CAscii85::Decode", 5, false, 1);
  EXPECT_EQ(Decoded("<~9jqo^~>"), "error 5");
  EXPECT_EQ(Decoded("<~9jqo^~>"), "Man ");
}
