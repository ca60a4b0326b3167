#include "platform/codec/nmessage_base.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

CNMessageBase EveryKind() {
  CNMessageBase inner(100, 28);
  inner.setstring(1, 1, "/");
  inner.setint64(2, 5, -7);

  CNMessageBase message(100, 27);
  message.setint64(1, 1, INT64_MIN);
  message.setint64(1, 2, INT64_MAX);
  message.setuint64(2, 3, UINT64_MAX);
  std::string allBytes;
  for (int byte = 0; byte < 256; ++byte) allBytes += static_cast<char>(byte);
  message.setstring(3, 9, "a|b\n\"q\"\\ \t\r end");
  message.setbytes(4, 4, allBytes.data(), allBytes.size());
  message.setstring(5, 5, "");
  message.setObjectAccessor(6, 6, inner);
  message.setliststring(7, 7, {"x", "", "y|z"});
  message.setlistint64(8, 8, {0, -1, INT64_MAX});
  message.setlistobject(9, 9, {inner, CNMessageBase(22, 295)});
  message.setliststring(10, 10, {});
  return message;
}

}  // namespace

TEST(CNMessageBase, EveryFieldKindReadsBackFromItsText) {
  const CNMessageBase message = EveryKind();
  std::string text;
  EXPECT_EQ(message.serialize(text, false), 0);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.find('|'), std::string::npos);
  for (unsigned char byte : text) EXPECT_TRUE(byte >= 0x20 && byte < 0x7F) << int(byte);

  CNMessageBase back;
  std::string why;
  ASSERT_EQ(back.unserialize(text, &why), 0) << why;
  EXPECT_TRUE(back == message);
  EXPECT_EQ(back.toString(), text);  // deterministic
  EXPECT_EQ(back.getModule(), 100);
  EXPECT_EQ(back.getType(), 27);

  EXPECT_EQ(back.getint64(1, 1), INT64_MIN);
  EXPECT_EQ(back.getint64(1, 2), INT64_MAX);
  EXPECT_EQ(back.getuint64(2, 3), UINT64_MAX);
  EXPECT_EQ(back.getstring(3, 9), "a|b\n\"q\"\\ \t\r end");
  EXPECT_EQ(back.getbytes(4, 4).size(), 256u);
  EXPECT_EQ(back.getbstringobject(4, 4).str(), message.getbytes(4, 4));
  EXPECT_TRUE(back.isSet(5, 5));
  EXPECT_EQ(back.getstringByRef(5, 5), "");
  CNMessageBase inner(100, 28);
  ASSERT_TRUE(back.getObjectAccessor(6, 6, inner));
  EXPECT_EQ(inner.getstring(1, 1), "/");
  EXPECT_EQ(inner.getint64(2, 5), -7);
  EXPECT_EQ(back.getliststring(7, 7), (std::vector<std::string>{"x", "", "y|z"}));
  EXPECT_EQ(back.getlistint64(8, 8), (std::vector<int64_t>{0, -1, INT64_MAX}));
  std::vector<CNMessageBase> list = back.getlistobject(9, 9);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_TRUE(list[0] == inner);
  EXPECT_EQ(list[1].getType(), 295);
  EXPECT_TRUE(back.isSet(10, 10));
  EXPECT_TRUE(back.getliststring(10, 10).empty());

  // Appending keeps what was serialised before.
  std::string joined = "prefix ";
  message.serialize(joined, true);
  EXPECT_EQ(joined, "prefix " + text);
}

TEST(CNMessageBase, FieldsAreKeyedByNumberAndTag) {
  CNMessageBase message(22, 295);
  EXPECT_EQ(message.toString(), "M22:295{}");
  message.setstring(2, 5, "DATA");
  message.setstring(1, 1, "/data");
  EXPECT_EQ(message.toString(), "M22:295{1:1=s\"/data\",2:5=s\"DATA\"}");
  EXPECT_FALSE(message.isSet(2, 2));
  EXPECT_TRUE(message.isSetNumber(2));
  EXPECT_FALSE(message.isSetNumber(3));
  EXPECT_EQ(message.getstring(2, 2), "");
  message.setstring(1, 1, "/other");  // replaces
  EXPECT_EQ(message.getstring(1, 1), "/other");
  EXPECT_EQ(message.fieldCount(), 2u);

  // Wrong kinds read as empty; the two integer kinds read each other.
  message.setuint64(3, 3, 5);
  EXPECT_EQ(message.getint64(3, 3), 5);
  EXPECT_EQ(message.getstring(3, 3), "");
  EXPECT_TRUE(message.getliststring(1, 1).empty());
  CNMessageBase nested;
  EXPECT_FALSE(message.getObjectAccessor(1, 1, nested));

  // A typed target refuses a nested message of another type.
  CNMessageBase holder(100, 92);
  holder.setObjectAccessor(3, 3, CNMessageBase(18, 46));
  CNMessageBase wrong(100, 3);
  wrong.setint64(1, 1, 9);
  EXPECT_FALSE(holder.getObjectAccessor(3, 3, wrong));
  EXPECT_EQ(wrong.getint64(1, 1), 9);
  CNMessageBase any;
  EXPECT_TRUE(holder.getObjectAccessor(3, 3, any));
  EXPECT_EQ(any.getModule(), 18);

  // Appending to lists; unset and clear.
  holder.addliststring(4, 4, "a");
  holder.addliststring(4, 4, "b");
  EXPECT_EQ(holder.getliststring(4, 4), (std::vector<std::string>{"a", "b"}));
  holder.addlistobject(5, 5, CNMessageBase(100, 3));
  EXPECT_EQ(holder.getlistobject(5, 5).size(), 1u);
  holder.unset(4, 4);
  EXPECT_FALSE(holder.isSet(4, 4));
  holder.clear();
  EXPECT_EQ(holder.fieldCount(), 0u);
}

TEST(CNMessageBase, CopiesAreIndependent) {
  CNMessageBase original(100, 3);
  original.setstring(1, 1, "*");
  CNMessageBase copy(original);
  copy.setstring(1, 1, "changed");
  CNMessageBase assigned;
  assigned = original;
  assigned.setint64(2, 2, 1);
  EXPECT_EQ(original.getstring(1, 1), "*");
  EXPECT_FALSE(original.isSet(2, 2));

  CNMessageBase holder(100, 92);
  holder.setObjectAccessor(1, 1, original);
  original.setstring(1, 1, "after");
  CNMessageBase read;
  ASSERT_TRUE(holder.getObjectAccessor(1, 1, read));
  EXPECT_EQ(read.getstring(1, 1), "*");
}

TEST(CNMessageBase, CheckNumbersMustNameTheMessage) {
  CNMessageBase device(22, 229);
  EXPECT_EQ(device.getTagID(), 0x16E993C5u);
  EXPECT_EQ(device.getTagName(), "Uxa::BlockBackupDevice");
  EXPECT_EQ(device.setstring(3, 3, "/data", 0x16E993C5, 0x8EB5FE), 0);
  EXPECT_EQ(device.setstring(4, 7, "/dev/x", 0x160EFD9C, 0x4EED3A), -1);
  EXPECT_FALSE(device.isSet(4, 7));
  EXPECT_EQ(device.getstring(3, 3, 0x160EFD9C, 0), "");
  EXPECT_EQ(device.getstring(3, 3, 0x16E993C5, 0), "/data");

  CNMessageBase unknown(7, 9);
  EXPECT_EQ(unknown.getTagName(), "CNMessage(7,9)");
  EXPECT_EQ(unknown.getTagID() >> 24, 7u);
}

TEST(CNMessageBase, HostileTextFailsCleanlyAndChangesNothing) {
  const std::string good = EveryKind().toString();
  CNMessageBase target(100, 3);
  target.setstring(1, 1, "kept");
  const CNMessageBase before = target;

  // Every truncation of a good text is refused.
  CNMessageBase any;
  for (size_t length = 0; length < good.size(); ++length) {
    EXPECT_EQ(any.unserialize(good.substr(0, length)), -1) << length;
  }
  EXPECT_EQ(any.unserialize(good), 0);

  const std::string bad[] = {
      "",
      "M100:3{",
      "M100:3{}x",
      "M100:3{} ",
      "m100:3{}",
      "M100:3{1:1=s\"a}",
      "M100:3{1:1=s\"\\x4\"}",
      "M100:3{1:1=s\"\\xZZ\"}",
      "M100:3{1:1=s\"\\x0a\"}",     // lower-case hex is not canonical
      "M100:3{1:1=s\"\\x41\"}",     // a printable byte must stand as itself
      "M100:3{1:1=s\"\\n\"}",
      "M100:3{1:1=s\"a|b\"}",
      std::string("M100:3{1:1=s\"a\nb\"}"),
      std::string("M100:3{1:1=s\"a\0b\"}", 18),
      "M100:3{1:1=i}",
      "M100:3{1:1=i-}",
      "M100:3{1:1=i-0}",
      "M100:3{1:1=i01}",
      "M100:3{1:1=i9223372036854775808}",
      "M100:3{1:1=i-9223372036854775809}",
      "M100:3{1:1=u18446744073709551616}",
      "M100:3{1:1=u-1}",
      "M100:99999999999{}",
      "M100:3{99999999999:1=i1}",
      "M100:3{1:1=i1,1:1=i2}",      // repeated field
      "M100:3{2:2=i1,1:1=i2}",      // out of order
      "M100:3{1:1=i1,}",
      "M100:3{1:1=[i1,]}",
      "M100:3{1:1=[i1}",
      "M100:3{1:1=x1}",
      "M100:3{1:1=M1:2{}",
  };
  for (const std::string& text : bad) {
    std::string why;
    EXPECT_EQ(target.unserialize(text, &why), -1) << text;
    EXPECT_FALSE(why.empty()) << text;
    EXPECT_TRUE(target == before) << text;
  }
  EXPECT_EQ(target.unserialize("M100:4{}"), -1);  // another type
  EXPECT_TRUE(target == before);
  EXPECT_EQ(any.unserialize("M100:4{}"), 0);  // an untyped message takes any type
  EXPECT_EQ(any.getType(), 4);
}

TEST(CNMessageBase, NestingIsBoundedBothWays) {
  // Deep nesting in a text is refused without exhausting the stack.
  std::string lists = "M1:1{1:1=";
  for (int level = 0; level < 100000; ++level) lists += '[';
  CNMessageBase any;
  std::string why;
  EXPECT_EQ(any.unserialize(lists, &why), -1);
  EXPECT_NE(why.find("deep"), std::string::npos) << why;

  std::string messages;
  for (int level = 0; level < 100000; ++level) messages += "M1:1{1:1=";
  EXPECT_EQ(any.unserialize(messages), -1);

  // The deepest message that can be built is also one that can be read back.
  CNMessageBase chain(1, 1);
  int built = 1;
  for (;;) {
    CNMessageBase outer(1, 1);
    if (outer.setObjectAccessor(1, 1, chain) != 0) break;
    chain = outer;
    ++built;
  }
  EXPECT_EQ(built, CNMessageBase::kMaxDepth);
  CNMessageBase back;
  EXPECT_EQ(back.unserialize(chain.toString()), 0);
  EXPECT_TRUE(back == chain);
  CNMessageBase wrapped(1, 1);
  EXPECT_EQ(wrapped.setlistobject(1, 1, {chain}), -1);
  EXPECT_EQ(wrapped.unserialize("M1:1{1:1=[" + chain.toString() + "]}"), -1);
}
