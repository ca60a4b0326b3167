// The mark's limits as earlier marks were written to them: a volume line and
// 32 keys, lines of 4096 bytes, a last line without its line feed.
#include "scan/collect_failure_mark_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/test_platform.h"

namespace {

using scan::CollectFailureMark;
using scan::MarkFound;

MarkFound Read(const std::string& path, const std::string& text, CollectFailureMark& mark) {
  testing_support::WriteFile(path, text);
  return scan::ReadCollectFailureMark(path, mark);
}

}  // namespace

TEST(CollectFailureMarkFile, ReadsWhatFitsTheLimitsAndRefusesTheRest) {
  testing_support::ScopedStateDir state;
  const std::string path = state.Sub("mark");
  CollectFailureMark mark;
  EXPECT_EQ(scan::ReadCollectFailureMark(path, mark), MarkFound::kNone);

  std::string keys;
  for (int key = 1; key <= 32; ++key) keys += std::to_string(key) + "\n";
  ASSERT_EQ(Read(path, "/mnt/v\n" + keys + "33", mark), MarkFound::kRefused);
  ASSERT_EQ(Read(path, std::string(4096, 'v') + "\n" + keys, mark), MarkFound::kMark);
  EXPECT_EQ(mark.volume, std::string(4096, 'v'));
  EXPECT_EQ(mark.keys.size(), 32u);
  EXPECT_EQ(Read(path, "/mnt/v\n" + std::string(4097, '1'), mark), MarkFound::kRefused);
  EXPECT_EQ(Read(path, "", mark), MarkFound::kRefused);
  ASSERT_EQ(Read(path, "/mnt/v\n7", mark), MarkFound::kMark);
  EXPECT_EQ(mark.keys, std::vector<std::string>{"7"});

  // The oldest key goes past the limit; a pipe at the path does not block.
  for (int key = 8; key <= 40; ++key) mark.Add(std::to_string(key));
  ASSERT_FALSE(scan::WriteCollectFailureMark(path, mark).IsError());
  ASSERT_EQ(scan::ReadCollectFailureMark(path, mark), MarkFound::kMark);
  EXPECT_EQ(mark.keys.front(), "9");
  EXPECT_EQ(mark.keys.size(), 32u);
  ASSERT_EQ(::mkfifo(state.Sub("pipe").c_str(), 0600), 0);
  EXPECT_EQ(scan::ReadCollectFailureMark(state.Sub("pipe"), mark), MarkFound::kRefused);
}
