#include "platform/fsparser/fs_parser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "support/ext_image.h"
#include "support/run_command.h"
#include "support/test_platform.h"

namespace {

std::vector<unsigned char> ParserBitmap(const std::string& image, uint64_t extentSize, uint64_t& extents) {
  CQiError err;
  std::unique_ptr<FsParser> parser = FsParser::init(image, err);
  EXPECT_FALSE(err.IsError()) << err.AsString();
  if (!parser) return {};
  unsigned char* raw = nullptr;
  err = parser->GetAllocatedExtentBitmap(extentSize, &raw, extents);
  EXPECT_FALSE(err.IsError()) << err.AsString();
  std::vector<unsigned char> bitmap(raw, raw + (extents + 7) / 8);
  std::free(raw);
  return bitmap;
}

}  // namespace

TEST(FsParser, AllocatedExtentsMatchDumpe2fs) {
  testing_support::ScopedStateDir state;
  for (unsigned blockSize : {0u, 4096u}) {
    const std::string image = state.Sub("fs.img");
    ASSERT_TRUE(testing_support::MakeExt4Image(
        image, 64, {{"a", 20u << 20}, {"b", 3u << 20}, {"c", 5000}, {"d", 1u << 20}}, blockSize));
    testing_support::ExtAllocation allocation;
    ASSERT_TRUE(testing_support::ReadAllocation(image, allocation));
    // Extent sizes that are not multiples of the block size too: a block may
    // then straddle two extents and mark both.
    for (uint64_t extentSize : {4194304ull, 1048576ull, 65536ull, 1024ull, 3072ull, 6144ull, 1536ull}) {
      SCOPED_TRACE("block size " + std::to_string(allocation.blockSize) + ", extent " + std::to_string(extentSize));
      uint64_t extents = 0;
      std::vector<unsigned char> got = ParserBitmap(image, extentSize, extents);
      EXPECT_EQ(extents, ((64ull << 20) + extentSize - 1) / extentSize);
      EXPECT_EQ(got, testing_support::ExpectedExtentBitmap(allocation, extentSize, 64ull << 20));
      if (extentSize == 1048576) {  // the image has both used and unused extents at this size
        EXPECT_NE(std::count(got.begin(), got.end(), 0xFF), static_cast<long>(got.size()));
        EXPECT_NE(std::count(got.begin(), got.end(), 0x00), static_cast<long>(got.size()));
      }
    }
  }
}

TEST(FsParser, PartialLastExtentAndUnknownContent) {
  testing_support::ScopedStateDir state;
  const std::string image = state.Sub("odd.img");
  ASSERT_TRUE(testing_support::MakeExt4Image(image, 9, {{"x", 100000}}, 4096));
  uint64_t extents = 0;
  std::vector<unsigned char> got = ParserBitmap(image, 4194304, extents);
  EXPECT_EQ(extents, 3u);  // 9 MiB: two whole extents and a partial one
  testing_support::ExtAllocation allocation;
  ASSERT_TRUE(testing_support::ReadAllocation(image, allocation));
  EXPECT_EQ(got, testing_support::ExpectedExtentBitmap(allocation, 4194304, 9ull << 20));

  // A journal still to be replayed: the on-disk bitmap may miss allocations,
  // so the parser refuses, and not with the "unknown file system" code.
  ASSERT_EQ(testing_support::RunCommand("debugfs -w -R 'feature needs_recovery' '" + image + "' >/dev/null 2>&1"), 0);
  CQiError journal;
  EXPECT_EQ(FsParser::init(image, journal), nullptr);
  EXPECT_TRUE(journal.IsError());
  EXPECT_FALSE(FXErrorUtil::IsErrNo(journal, ENOSYS)) << journal.AsString();

  const std::string zeros = state.Sub("zero.img");
  std::ofstream(zeros).close();
  ASSERT_EQ(::truncate(zeros.c_str(), 8 << 20), 0);
  CQiError err;
  EXPECT_EQ(FsParser::init(zeros, err), nullptr);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, ENOSYS)) << err.AsString();

  EXPECT_EQ(FsParser::init(state.Sub("missing.img"), err), nullptr);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, ENOENT)) << err.AsString();
}

TEST(FsParser, BitPrimitivesUseLeastSignificantBitFirst) {
  unsigned char bytes[2] = {0, 0};
  FsParser::set_bmp_bit(0, bytes);
  FsParser::set_bmp_bit(9, bytes);
  EXPECT_EQ(bytes[0], 0x01);
  EXPECT_EQ(bytes[1], 0x02);
  EXPECT_TRUE(FsParser::test_bmp_bit(9, bytes));
  EXPECT_FALSE(FsParser::test_bmp_bit(8, bytes));
  FsParser::clear_bmp_bit(0, bytes);
  EXPECT_EQ(bytes[0], 0x00);
}
