// Where the hash read handler takes its extents from: the lines of a
// collect file (from a start line; a bad line fails, never skipped) and the
// set bits of a piece of bitmap (a word at a time, from an offset), and the
// digest it hashes them with.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/hashing/extent_iterator.h"
#include "platform/hashing/extent_name_converter.h"
#include "platform/hashing/get_guid.h"
#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

namespace {

// Every extent up to the end or a failure; a failure as its code, negated.
template <class Iterator>
std::vector<long long> Walk(Iterator& iterator) {
  std::vector<long long> extents;
  for (;;) {
    unsigned long long extent = 0;
    bool found = false;
    CQiError err = iterator.GetNextExtent(extent, found);
    if (err.IsError()) {
      extents.push_back(-FXErrorUtil::GetCode(err));
      return extents;
    }
    if (!found) return extents;
    extents.push_back(static_cast<long long>(extent));
  }
}

TEST(CExtCollectIterator, WalksTheLinesFromTheStartLine) {
  testing_support::ScopedStateDir state;
  const std::string path = state.Sub("CollectInc_1.kzf");
  testing_support::WriteFile(path, "/0000000A\n/mnt/v1/00000003\n/mnt/a/b/0000000V\n/mnt/v1/00000100");
  const std::pair<unsigned long long, std::vector<long long>> cases[] = {
      {0, {10, 3, 31, 1024}}, {1, {3, 31, 1024}}, {3, {1024}}, {4, {}}, {99, {}}};
  for (const auto& [start, expected] : cases) {
    CExtCollectIterator iterator;
    ASSERT_FALSE(iterator.Initialize(path, start, 0).IsError());
    EXPECT_EQ(Walk(iterator), expected) << start;
    EXPECT_EQ(Walk(iterator), std::vector<long long>{}) << start;
  }

  // Far more lines than one read holds, entered in the middle.
  std::string many;
  char name[16];
  for (unsigned n = 0; n < 100000; ++n) {
    ASSERT_TRUE(ExtentNameConverter::Extent_dec_to_base32_v2(n, name, 8));
    many += "/mnt/volume_with_a_longer_name/" + std::string(name) + "\n";
  }
  testing_support::WriteFile(path, many);
  CExtCollectIterator iterator;
  ASSERT_FALSE(iterator.Initialize(path, 50001, 0).IsError());
  const std::vector<long long> rest = Walk(iterator);
  ASSERT_EQ(rest.size(), 49999u);
  EXPECT_EQ(rest.front(), 50001);
  EXPECT_EQ(rest.back(), 99999);
}

TEST(CExtCollectIterator, ALineThatIsNoCollectLineFailsAfterTheLinesBeforeIt) {
  testing_support::ScopedStateDir state;
  const std::string path = state.Sub("c.kzf");
  for (const std::string& bad : {std::string(""), std::string("00000001"), std::string("/mnt/v1/0000000a"),
                                 std::string("/mnt/v1/"), std::string("/mnt/v1/0000000000001"),
                                 std::string("/mnt/v1/00000001\r"), "/mnt/v1/" + std::string(70000, '1')}) {
    testing_support::WriteFile(path, "/mnt/v1/00000001\n/mnt/v1/00000002\n" + bad + "\n/mnt/v1/00000004\n");
    CExtCollectIterator iterator;
    ASSERT_FALSE(iterator.Initialize(path, 0, 0).IsError());
    EXPECT_EQ(Walk(iterator), (std::vector<long long>{1, 2, -774})) << bad.substr(0, 20);
    EXPECT_EQ(Walk(iterator), std::vector<long long>{-774});
    // Skipped over, a bad line is not read.
    ASSERT_FALSE(iterator.Initialize(path, 3, 0).IsError());
    EXPECT_EQ(Walk(iterator), std::vector<long long>{4});
  }

  CExtCollectIterator iterator;
  EXPECT_EQ(Walk(iterator), std::vector<long long>{-22});
  EXPECT_TRUE(FXErrorUtil::IsErrNo(iterator.Initialize(state.Sub("missing"), 0, 0), 2));
  EXPECT_EQ(Walk(iterator), std::vector<long long>{-2});
  platform::FaultTable::Set("CExtCollectIterator::Initialize", 5, false, 1);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(iterator.Initialize(path, 0, 0), 5));
  EXPECT_FALSE(iterator.Initialize(path, 0, 0).IsError());
}

TEST(CExtBmpIterator, WalksSetBitsAcrossWordsFromTheOffsetOn) {
  testing_support::ScopedStateDir state;
  std::vector<unsigned char> bitmap(13, 0);
  const std::vector<long long> bits = {0, 7, 8, 63, 64, 65, 100, 103};
  for (long long bit : bits) bitmap[bit / 8] |= static_cast<unsigned char>(1u << (bit % 8));
  const std::pair<unsigned long long, std::vector<long long>> cases[] = {
      {0, {1000, 1007, 1008, 1063, 1064, 1065, 1100, 1103}}, {8, {1008, 1063, 1064, 1065, 1100, 1103}},
      {9, {1063, 1064, 1065, 1100, 1103}},                   {64, {1064, 1065, 1100, 1103}},
      {103, {1103}},                                         {104, {}},
      {1ull << 40, {}}};
  for (const auto& [offset, expected] : cases) {
    CExtBmpIterator iterator;
    ASSERT_FALSE(iterator.Initialize(bitmap.data(), bitmap.size(), offset, 1000).IsError());
    EXPECT_EQ(Walk(iterator), expected) << offset;
  }
  std::vector<unsigned char> full(4096, 0xFF);
  CExtBmpIterator iterator;
  ASSERT_FALSE(iterator.Initialize(full.data(), full.size(), 5, 0).IsError());
  const std::vector<long long> all = Walk(iterator);
  ASSERT_EQ(all.size(), 4096u * 8 - 5);
  EXPECT_EQ(all.back(), 4096 * 8 - 1);

  CExtBmpIterator refused;
  EXPECT_EQ(Walk(refused), std::vector<long long>{-22});
  ASSERT_FALSE(refused.Initialize(nullptr, 0, 0, 0).IsError());
  EXPECT_EQ(Walk(refused), std::vector<long long>{});
  EXPECT_TRUE(FXErrorUtil::IsErrNo(refused.Initialize(nullptr, 1, 0, 0), 22));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(refused.Initialize(bitmap.data(), 2, 0, ~0ull - 14), 22));
  EXPECT_FALSE(refused.Initialize(bitmap.data(), 2, 0, ~0ull - 15).IsError());
  platform::FaultTable::Set("CExtBmpIterator::Initialize", 12, false, 1);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(refused.Initialize(bitmap.data(), 2, 0, 0), 12));
}

TEST(GetGUID, IsMd5sumsDigestOnEveryThread) {
  std::string out = "stale";
  ASSERT_TRUE(GetGUID(nullptr, 0, out));
  EXPECT_EQ(out, "d41d8cd98f00b204e9800998ecf8427e");
  const unsigned char abc[] = {'a', 'b', 'c'};
  ASSERT_TRUE(GetGUID(abc, 3, out));
  EXPECT_EQ(out, "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_FALSE(GetGUID(abc, -1, out));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(GetGUID(nullptr, 3, out));

  // "The quick brown fox jumps over the lazy dog", on four threads at once.
  const std::string fox = "The quick brown fox jumps over the lazy dog";
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      std::string hash;
      for (int n = 0; n < 2000; ++n) {
        const bool empty = (n + t) % 2 == 0;
        GetGUID(reinterpret_cast<const unsigned char*>(fox.data()), empty ? 0 : static_cast<int>(fox.size()), hash);
        wrong[t] += hash != (empty ? "d41d8cd98f00b204e9800998ecf8427e" : "9e107d9d372bb6826bd81d3542a419d6");
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
