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
  // Values other Adobe-form encoders give.
  for (const auto& known : std::vector<std::pair<std::string, std::string>>{{"Man ", "<~9jqo^~>"},
                                                                            {std::string("\0\0\0\0\xff", 5), "<~zrr~>"},
                                                                            {"\xff\xff\xff", "<~s8W*~>"},
                                                                            {"\xff\xff\xff\xff", "<~s8W-!~>"},
                                                                            {"", "<~~>"}}) {
    std::string text;
    CAscii85::Encode(known.first.data(), known.first.size(), text);
    EXPECT_EQ(text, known.second);
    EXPECT_EQ(Decoded(text), known.first);
  }
  std::mt19937 random(85);
  std::vector<std::string> inputs;
  std::string every(256, '\0');
  for (int i = 0; i < 256; ++i) every[i] = static_cast<char>(i);
  inputs.push_back(every);
  inputs.push_back(std::string(9, '\0'));
  for (size_t length : {1, 2, 3, 5, 6, 7, 70001}) {
    std::string bytes(length, '\0');
    for (char& b : bytes) b = static_cast<char>(random() % 4 == 0 ? 0 : random());
    inputs.push_back(bytes);
  }
  for (const std::string& bytes : inputs) {
    std::string text;
    CAscii85::Encode(bytes.data(), bytes.size(), text);
    ASSERT_GE(text.size(), 6u);
    EXPECT_EQ(text.find("~>"), text.size() - 2);
    EXPECT_EQ(Decoded(text), bytes) << bytes.size();
  }
}

TEST(Ascii85, DecodeRefusesAnythingButOneChunk) {
  for (const char* text : {"", "<~", "~>", "<~~", "9jqo^", "<~9jqo^", "9jqo^~>", " <~9jqo^~>", "<~9jqo^~> ",
                           "<~9jqo^~>~>", "<~9jqo^~><~~>", "<~9j qo^~>", "<~9j\nqo^~>", "<~9jqo^a~>", "<~9jzo^~>",
                           "<~s8W-\"~>", "<~uuuuu~>", "<~vvvvv~>", "<~9jqo^{~>"})
    EXPECT_EQ(Decoded(text), "error 774") << text;
  // What a refused text yields: the whole groups before the fault.
  std::string bytes;
  EXPECT_TRUE(CAscii85::Decode("<~9jqo^z!~>", bytes).IsError());
  EXPECT_EQ(bytes, std::string("Man \0\0\0\0", 8));

  testing_support::ScopedStateDir state;
  platform::FaultTable::Set("CAscii85::Decode", 5, false, 1);
  EXPECT_EQ(Decoded("<~9jqo^~>"), "error 5");
  EXPECT_EQ(Decoded("<~9jqo^~>"), "Man ");
}
