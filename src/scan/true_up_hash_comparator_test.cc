// The merge join of the index's and the snapshot's extent hashes.
#include "scan/true_up_hash_comparator.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/hashing/extent_name_converter.h"
#include "support/test_platform.h"

namespace {

using testing_support::CapturingLog;

std::string HashOf(char digit) {
  return std::string(32, digit);
}

// A table in memory; reading entry `failAt` (counted from 0) fails.
class MemoryTable : public IExtentHashTable {
 public:
  explicit MemoryTable(std::vector<std::pair<unsigned long long, std::string>> entries, int failAt = -1)
      : entries_(std::move(entries)), failAt_(failAt) {}
  CQiError Initialize(std::ios_base::openmode) override {
    next_ = 0;
    return CQiError();
  }
  CQiError AddExtentEntry(ExtentHashItem&) override { return CQiError(); }
  CQiError GetNextExtentEntry(ExtentHashItem& item) override {
    item.Reset();
    if (static_cast<int>(next_) == failAt_) return FXErrorUtil::ErrorErrNo(FXCODELOC, 774, "torn entry");
    if (next_ >= entries_.size()) return CQiError();
    char name[16] = {0};
    ExtentNameConverter::Extent_dec_to_base32_v2(entries_[next_].first, name, 8);
    item = ExtentHashItem(name, entries_[next_].second, nullptr);
    ++next_;
    return CQiError();
  }
  CQiError Flush() override { return CQiError(); }
  CQiError Close() override { return CQiError(); }

 private:
  std::vector<std::pair<unsigned long long, std::string>> entries_;
  int failAt_;
  size_t next_ = 0;
};

std::vector<std::pair<unsigned long long, std::string>> Same(std::initializer_list<unsigned long long> ids,
                                                             char digit = 'a') {
  std::vector<std::pair<unsigned long long, std::string>> entries;
  for (unsigned long long id : ids) entries.emplace_back(id, HashOf(digit));
  return entries;
}

// The bits set in a 4-byte bitmap after the comparison.
std::vector<int> Compared(MemoryTable index, MemoryTable snapshot, CQiError* result = nullptr) {
  unsigned char bitmap[4] = {0, 0, 0, 0};
  CTrueUpHashComparator comparator(&index, &snapshot, bitmap, 32);
  CQiError err = comparator.Initialize();
  if (!err.IsError()) err = comparator.Prepare();
  if (!err.IsError()) err = comparator.Compare();
  if (result != nullptr) *result = err;
  std::vector<int> bits;
  for (int n = 0; n < 32; ++n)
    if (bitmap[n / 8] & (1 << (n % 8))) bits.push_back(n);
  return bits;
}

TEST(TrueUpHashComparator, MarksWhatDiffersOrWhatTheIndexLacks) {
  EXPECT_EQ(Compared(MemoryTable(Same({1, 3, 5})), MemoryTable(Same({1, 2, 3}))), std::vector<int>({2}));
  {
    CapturingLog log(7);
    EXPECT_EQ(Compared(MemoryTable(Same({1, 2})), MemoryTable(Same({4, 9}))), std::vector<int>({4, 9}));
    EXPECT_TRUE(log.Contains("ExtentItem not found in Index, item=4"));
    EXPECT_TRUE(log.Contains("Volume Extent mismatch count [2]"));
  }
  // An index that repeats a page (a rerun fetched it again) matches as well.
  auto repeated = Same({0, 1, 2, 3, 4, 5, 6, 7});
  for (const auto& entry : Same({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15})) repeated.push_back(entry);
  EXPECT_EQ(Compared(MemoryTable(repeated), MemoryTable(Same({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}))),
            std::vector<int>());
  // Same extent, another hash; an empty index; an empty snapshot.
  EXPECT_EQ(Compared(MemoryTable(Same({3}, 'a')), MemoryTable(Same({3}, 'b'))), std::vector<int>({3}));
  EXPECT_EQ(Compared(MemoryTable({}), MemoryTable(Same({0, 6}))), std::vector<int>({0, 6}));
  EXPECT_EQ(Compared(MemoryTable(Same({0, 6})), MemoryTable({})), std::vector<int>());
}

TEST(TrueUpHashComparator, AnUnreadableEntryOrAnExtentPastTheBitmapFailsThePass) {
  CQiError err;
  // The third snapshot entry cannot be read: extent 9 after it is never
  // compared, so the pass cannot succeed.
  Compared(MemoryTable(Same({1, 2, 3, 9})), MemoryTable(Same({1, 2, 3, 9}), 2), &err);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 774)) << err.AsString();
  Compared(MemoryTable(Same({1, 2, 3}), 1), MemoryTable(Same({1, 2, 3})), &err);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 774)) << err.AsString();

  MemoryTable index(Same({}));
  MemoryTable snapshot(Same({1, 16}));
  unsigned char bitmap[3] = {0, 0, 0};
  CTrueUpHashComparator comparator(&index, &snapshot, bitmap, 16);
  ASSERT_FALSE(comparator.Initialize().IsError());
  err = comparator.Compare();
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 774)) << err.AsString();
  EXPECT_EQ(bitmap[0], 0x02);
  EXPECT_EQ(bitmap[2], 0x00);
}

}  // namespace
