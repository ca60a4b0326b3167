// The browse reply handler: what each kind of reply item does to a node in
// tree mode, and when file mode leaves a whole restored file.
#include "indexinfo/browse_reply_handler.h"

#include <gtest/gtest.h>

#include <optional>

#include "platform/sim/fault_table.h"
#include "platform/text/ascii85.h"
#include "support/test_platform.h"

namespace {

using testing_support::FileExists;
using Text = std::optional<std::string>;

CNMessageBase Item(const std::string& name, bool folder, Text text = std::nullopt) {
  databrowse::BrowseData item;
  item.setstring(item.kName.number, item.kName.tag, name);
  databrowse::BrowseItemFlags flags;
  flags.setint64(flags.kFolder.number, flags.kFolder.tag, folder ? 1 : 0);
  item.setObjectAccessor(item.kFlags.number, item.kFlags.tag, flags);
  if (!text) return item;
  CNMessageBase record(101, 84);
  record.setstring(1, 1, *text);
  IdxMetadata::IdxMetaData metaData;
  metaData.setObjectAccessor(36, 36, record);
  databrowse::BrowseDataResult data;
  data.setObjectAccessor(data.kIdxMetaData.number, data.kIdxMetaData.tag, metaData);
  item.setObjectAccessor(item.kData.number, item.kData.tag, data);
  return item;
}
CNMessageBase Folder(const std::string& name) {
  return Item(name, true);
}
CNMessageBase File(const std::string& name, Text text) {
  return Item(name, false, text);
}

CNMessageBase Reply(const std::vector<CNMessageBase>& items, int64_t status = 0, std::vector<int64_t> errors = {}) {
  databrowse::BrowseResponse response;
  response.setint64(response.kType.number, response.kType.tag, status);
  for (int64_t code : errors) {
    databrowse::BrowseError error;
    error.setint64(error.kCode.number, error.kCode.tag, code);
    response.addlistobject(response.kErrors.number, response.kErrors.tag, error);
  }
  databrowse::BrowseResult result;
  result.setlistobject(result.kItems.number, result.kItems.tag, items);
  response.setObjectAccessor(response.kResult.number, response.kResult.tag, result);
  return response;
}

std::string Chunk(const std::string& bytes) {
  std::string text;
  CAscii85::Encode(bytes.data(), bytes.size(), text);
  return text;
}

class BrowseReplyHandlerTest : public ::testing::Test {
 protected:
  bool Tree(CNMessageBase message) { return tree_.processResp(&message); }
  bool ToFile(CNMessageBase message) { return file_.processResp(&message); }
  bool Restored() { return file_.HasRestoredFile() && FileExists(output_); }

  testing_support::ScopedStateDir state_;
  testing_support::CapturingLog log_{7};
  CIndexInfoPathPtr node_ = std::make_shared<CIndexInfoPath>("B");
  CBrowseReplyHandler tree_{node_};
  std::string output_ = state_.Sub("out.bin");
  CBrowseReplyHandler file_{output_};
};

TEST_F(BrowseReplyHandlerTest, TreeModeTakesFoldersKeyBagsAndFileNames) {
  CIndexInfoPathPtr loaded = node_->GetOrAddChild("Y");
  loaded->SetLoaded(true);
  EXPECT_TRUE(Tree(Reply({Folder("X"), Folder("X"), Folder("Y"), File(".self", std::string("bag:k=v1;\0z", 11)),
                          File("f", Chunk("x")), File("g", std::nullopt)})));
  EXPECT_EQ(node_->GetChildren().size(), 2u);
  EXPECT_FALSE(node_->GetChildren().at("Y") == loaded || node_->GetChildren().at("Y")->IsLoaded());
  std::string value;
  EXPECT_FALSE(node_->GetBag()->Read("k", value).IsError());
  EXPECT_EQ(value, "v1");
  EXPECT_EQ(node_->GetFileMap(), (CIndexInfoPath::FileMap{{"f", ""}, {"g", ""}}));
  EXPECT_EQ(tree_.GetProcessedItemsCount(), 4u);
  EXPECT_FALSE(tree_.HasRefusedReply());
}

TEST_F(BrowseReplyHandlerTest, RefusedRepliesChangeNothingAndOtherMessagesAreSkipped) {
  EXPECT_FALSE(Tree(Reply({Folder("X"), File("f", Chunk("x"))}, 2)));
  EXPECT_FALSE(Tree(Reply({Folder("X")}, 3, {10})));
  EXPECT_FALSE(Tree(Reply({Folder("X")}, 3)));
  for (const char* text : {"Browse response message is partial", "Index maintenance in progress",
                           "Index error while processing browse request"})
    EXPECT_TRUE(log_.Contains(text)) << text;
  EXPECT_TRUE(node_->GetChildren().empty() && node_->GetFileMap().empty());
  EXPECT_EQ(tree_.GetProcessedItemsCount(), 0u);
  EXPECT_TRUE(tree_.HasRefusedReply());

  EXPECT_TRUE(Tree(databrowse::BrowseResult()));
  EXPECT_TRUE(log_.Contains("unexpected message type : databrowse::BrowseResult"));
}

TEST_F(BrowseReplyHandlerTest, FileModeWritesTheDecodedBlocksOfTheLastFileItem) {
  const std::string blocks[] = {std::string(70000, 'a') + "\x01", std::string(9, '\0'), "end"};
  EXPECT_TRUE(ToFile(Reply({File("old", Chunk("old")), Folder("dir"), File(".self", Chunk("bag")),
                            File("f", Chunk(blocks[0]) + Chunk(blocks[1]) + Chunk(blocks[2]) + "<~~"),
                            File("no data", std::nullopt)})));
  EXPECT_TRUE(Restored());
  EXPECT_EQ(testing_support::ReadFile(output_), blocks[0] + blocks[1] + blocks[2]);

  EXPECT_TRUE(ToFile(Reply({File("f", "")})));
  EXPECT_TRUE(Restored());
  EXPECT_EQ(testing_support::ReadFile(output_), "");
}

TEST_F(BrowseReplyHandlerTest, FileModeLeavesNoOutputUnlessOneWholeFileWasWritten) {
  EXPECT_TRUE(ToFile(Reply({File("f", std::nullopt)})));
  EXPECT_FALSE(Restored() || FileExists(output_));
  // A block that does not decode after a whole file; a failing write.
  EXPECT_TRUE(ToFile(Reply({File("f", Chunk("whole")), File("f", Chunk("abcd") + "<~{{{{{~>")})));
  EXPECT_FALSE(FileExists(output_) || file_.HasRestoredFile());
  platform::FaultTable::Set("FXFile::KZWriteFile", 5, false, 1);
  EXPECT_TRUE(ToFile(Reply({File("f", Chunk("abcd"))})));
  EXPECT_FALSE(FileExists(output_) || file_.HasRestoredFile());
  EXPECT_TRUE(log_.Contains("failed to decode data for output file") && log_.Contains("failed to write to output"));

  // A refused message removes a whole file; nothing later restores one.
  EXPECT_TRUE(ToFile(Reply({File("f", Chunk("abcd"))})));
  EXPECT_TRUE(Restored());
  EXPECT_FALSE(ToFile(Reply({}, 2)));
  EXPECT_TRUE(ToFile(Reply({File("f", Chunk("abcd"))})));
  EXPECT_FALSE(FileExists(output_) || file_.HasRestoredFile());
}

}  // namespace
