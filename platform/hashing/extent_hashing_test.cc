// The extent-hashing library's names, hash items and hash-table files: the
// forms other jobs and the index read back, so they are checked exactly.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include "platform/hashing/extent_hash_table.h"
#include "platform/hashing/extent_name_converter.h"
#include "platform/sim/fault_table.h"
#include "support/file_size_limit.h"
#include "support/test_platform.h"

namespace {

const std::string kHash = "0123456789abcdef0123456789abcdef";

std::string Name(unsigned long long n, unsigned width = 8) {
  char text[32];
  std::memset(text, '#', sizeof text);
  return ExtentNameConverter::Extent_dec_to_base32_v2(n, text, width) ? std::string(text) : "refused";
}

TEST(ExtentNameConverter, NamesAreZeroPaddedBase32AndReadBack) {
  EXPECT_EQ(Name(0), "00000000");
  EXPECT_EQ(Name(33), "00000011");
  EXPECT_EQ(Name(31), "0000000V");
  EXPECT_EQ(Name((1ull << 40) - 1), "VVVVVVVV");
  EXPECT_EQ(Name(1ull << 40), "refused");
  EXPECT_EQ(Name(32, 1), "refused");
  EXPECT_EQ(Name(31, 1), "V");
  EXPECT_EQ(Name(~0ull, 13), "F" + std::string(12, 'V'));
  EXPECT_EQ(Name(1, 0), "refused");
  EXPECT_FALSE(ExtentNameConverter::Extent_dec_to_base32_v2(1, nullptr, 8));
  char untouched[16] = "keep";
  EXPECT_FALSE(ExtentNameConverter::Extent_dec_to_base32_v2(1ull << 40, untouched, 8));
  EXPECT_STREQ(untouched, "keep");

  for (unsigned long long n : {0ull, 1ull, 33ull, 26214399ull, (1ull << 40) - 1})
    EXPECT_EQ(ExtentNameConverter::Extent_base32_to_dec(Name(n)), n);
  EXPECT_EQ(ExtentNameConverter::Extent_base32_to_dec("11"), 33u);
  for (const char* bad : {"", "0000000W", "0000000v", "0000 001", "-1", "1234567890ABC"})
    EXPECT_EQ(ExtentNameConverter::Extent_base32_to_dec(bad), ExtentNameConverter::kInvalidExtent) << bad;

  EXPECT_EQ(ExtentNameConverter(10, 4).GetTotalExtents(), 3u);
  EXPECT_EQ(ExtentNameConverter(8, 4).GetTotalExtents(), 2u);
  EXPECT_EQ(ExtentNameConverter(8, 0).GetTotalExtents(), 0u);
}

TEST(ExtentHashItem, OnlyTheTablesLineFormIsAnItem) {
  ExtentHashItem item;
  EXPECT_FALSE(item.IsValid());
  ASSERT_FALSE(item.Initialize("00000011|" + kHash + "\n").IsError());
  EXPECT_TRUE(item.IsValid());
  EXPECT_EQ(item.GetExtentId(), 33u);
  EXPECT_EQ(item.GetExtentName(), "00000011");
  EXPECT_EQ(item.GetExtentHash(), kHash);
  EXPECT_TRUE(item.Matches(ExtentHashItem("00000011", kHash, nullptr)));
  EXPECT_FALSE(item.Matches(ExtentHashItem("00000012", kHash, nullptr)));
  EXPECT_FALSE(item.Matches(ExtentHashItem("00000011", std::string(32, '0'), nullptr)));

  const std::string bad[] = {"00000011" + kHash,
                             "0000011|" + kHash,
                             "000000011|" + kHash,
                             "00000011|" + kHash.substr(1),
                             "00000011|" + kHash + "0",
                             "00000011|" + kHash + "\r",
                             "00000011|0123456789ABCDEF0123456789ABCDEF",
                             "0000001!|" + kHash,
                             "00000011|" + kHash + "|",
                             " 00000011|" + kHash,
                             ""};
  for (const std::string& line : bad) {
    ASSERT_FALSE(item.Initialize("00000001|" + kHash).IsError());
    EXPECT_TRUE(FXErrorUtil::IsWin32(item.Initialize(line), 774)) << line;
    EXPECT_FALSE(item.IsValid()) << line;
    EXPECT_EQ(item.GetExtentId(), ExtentHashItem::kNoExtent) << line;
  }
  // Every character just outside a range of either alphabet, at every place
  // of the hash and of the name; bytes of the upper half included.
  for (const char outside : {'/', ':', '`', 'g', 'A', '\n', '\x80', '\xff'}) {
    for (size_t at = 0; at < kHash.size(); ++at) {
      std::string hash = kHash;
      hash[at] = outside;
      EXPECT_FALSE(ExtentHashItem("00000011", hash, nullptr).IsValid()) << at << " " << int(outside);
    }
  }
  for (const char outside : {'/', ':', '@', 'W', 'a', '\x80', '\xff'}) {
    for (size_t at = 0; at < 8; ++at) {
      std::string name = "0V9A0000";
      name[at] = outside;
      EXPECT_FALSE(ExtentHashItem(name, kHash, nullptr).IsValid()) << at << " " << int(outside);
    }
  }
  EXPECT_TRUE(ExtentHashItem("0V9A0000", "f0a9" + kHash.substr(4), nullptr).IsValid());
  EXPECT_FALSE(ExtentHashItem("0000001", kHash, nullptr).IsValid());
  EXPECT_FALSE(ExtentHashItem("00000001", "xyz", nullptr).IsValid());
}

TEST(CExtentHashTable_File, WritesTruncatesAppendsAndReadsBackToAnInvalidItem) {
  testing_support::ScopedStateDir state;
  const std::string path = state.Sub("hashes.kzf");
  CExtentHashTable_File table(path);
  ASSERT_FALSE(table.Initialize(std::ios_base::out | std::ios_base::trunc).IsError());
  for (unsigned n = 0; n < 5000; ++n) {
    ExtentHashItem item(Name(n), kHash, nullptr);
    ASSERT_FALSE(table.AddExtentEntry(item).IsError());
  }
  ASSERT_FALSE(table.Close().IsError());
  ASSERT_FALSE(table.Initialize(std::ios_base::out).IsError());  // written anew
  ExtentHashItem first(Name(7), kHash, nullptr), second(Name(9), kHash, nullptr);
  ASSERT_FALSE(table.AddExtentEntry(first).IsError());
  // Buffered: nothing reaches the file per entry.
  EXPECT_EQ(testing_support::ReadFile(path), "");
  ASSERT_FALSE(table.Close().IsError());
  ASSERT_FALSE(table.Initialize(std::ios_base::out | std::ios_base::app).IsError());
  ASSERT_FALSE(table.AddExtentEntry(second).IsError());
  ExtentHashItem invalid;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(table.AddExtentEntry(invalid), 22));
  ASSERT_FALSE(table.Close().IsError());
  EXPECT_EQ(testing_support::ReadFile(path), "00000007|" + kHash + "\n00000009|" + kHash + "\n");

  ASSERT_FALSE(table.Initialize(std::ios_base::in).IsError());
  ExtentHashItem item;
  ASSERT_FALSE(table.GetNextExtentEntry(item).IsError());
  EXPECT_EQ(item.GetExtentId(), 7u);
  ASSERT_FALSE(table.GetNextExtentEntry(item).IsError());
  EXPECT_EQ(item.GetExtentId(), 9u);
  ASSERT_FALSE(table.GetNextExtentEntry(item).IsError());
  EXPECT_FALSE(item.IsValid());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(table.AddExtentEntry(first), 22));

  CExtentHashTable_File missing(state.Sub("missing"));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(missing.Initialize(std::ios_base::in), 2));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(missing.Initialize(std::ios_base::openmode()), 22));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(missing.GetNextExtentEntry(item), 22));
}

// A torn or foreign line is an error, never the end of the table.
TEST(CExtentHashTable_File, ALineThatIsNoEntryFailsTheRead) {
  testing_support::ScopedStateDir state;
  for (const std::string& tail :
       {std::string("00000009|") + kHash, std::string("00000009|") + kHash + "\r\n", std::string(200, 'x') + "\n"}) {
    const std::string path = state.Sub("torn.kzf");
    testing_support::WriteFile(path, "00000007|" + kHash + "\n" + tail);
    CExtentHashTable_File table(path);
    ASSERT_FALSE(table.Initialize(std::ios_base::in).IsError());
    ExtentHashItem item;
    ASSERT_FALSE(table.GetNextExtentEntry(item).IsError());
    EXPECT_TRUE(FXErrorUtil::IsWin32(table.GetNextExtentEntry(item), 774)) << tail;
    EXPECT_FALSE(item.IsValid());
  }
}

TEST(CExtentHashTable_File, WriteFailuresAreReportedByTheLastCallAtTheLatest) {
  testing_support::ScopedStateDir state;
  CExtentHashTable_File table(state.Sub("full.kzf"));
  ExtentHashItem item(Name(1), kHash, nullptr);
  {
    testing_support::ScopedFileSizeLimit disk(10);
    ASSERT_FALSE(table.Initialize(std::ios_base::out).IsError());
    ASSERT_FALSE(table.AddExtentEntry(item).IsError());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(table.Close(), EFBIG));
  }
  {
    testing_support::ScopedFileSizeLimit disk(100);
    ASSERT_FALSE(table.Initialize(std::ios_base::out).IsError());
    CQiError err;
    for (int n = 0; n < 10000 && !err.IsError(); ++n) err = table.AddExtentEntry(item);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EFBIG));
    EXPECT_TRUE(table.AddExtentEntry(item).IsError());
    EXPECT_TRUE(table.Close().IsError());
  }

  for (const char* call : {"CExtentHashTable_File::Initialize", "CExtentHashTable_File::AddExtentEntry",
                           "CExtentHashTable_File::GetNextExtentEntry"}) {
    ASSERT_FALSE(table.Initialize(std::ios_base::out).IsError());
    ASSERT_FALSE(table.AddExtentEntry(item).IsError());
    platform::FaultTable::Set(call, 5, false, 1);
    CQiError err = table.AddExtentEntry(item);
    if (!err.IsError()) err = table.Initialize(std::ios_base::in);
    ExtentHashItem read;
    if (!err.IsError()) err = table.GetNextExtentEntry(read);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 5)) << call;
    platform::FaultTable::Clear(call);
  }
}

}  // namespace
