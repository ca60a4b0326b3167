// The index-info tree: how key paths name and create nodes, and what a
// node's queries and attachments give.
#include "indexinfo/index_info_path.h"

#include <gtest/gtest.h>

#include "support/test_platform.h"

namespace {

using Names = std::list<std::string>;
using indexinfo::ResolveKeyPath;

Names SubPaths(const CIndexInfoPathPtr& node) {
  Names names;
  node->GetSubPaths(names);
  return names;
}

TEST(IndexInfoPath, KeyPathsCreateUnloadedNodesInNameOrder) {
  EXPECT_EQ(indexinfo::SplitKeyPath("A\\\\B\\", '\\'), (std::vector<std::string>{"A", "", "B", ""}));
  auto root = std::make_shared<CIndexInfoPath>();
  EXPECT_EQ(ResolveKeyPath(root, "", '\\'), root);
  CIndexInfoPathPtr b = ResolveKeyPath(root, "A\\B", '\\');
  EXPECT_EQ(ResolveKeyPath(root, "\\A\\B", '\\'), b);
  ResolveKeyPath(root, "A\\a", '\\');
  CIndexInfoPathPtr a = ResolveKeyPath(root, "A", '\\');
  EXPECT_FALSE(a->IsLoaded() || b->IsLoaded());
  EXPECT_EQ(SubPaths(a), (Names{"B", "a"}));

  // Replacing a loaded child starts it over; asking for it again keeps it.
  b->SetLoaded(true);
  b->SetFile("f", "");
  EXPECT_EQ(a->GetOrAddChild("B"), b);
  CIndexInfoPathPtr fresh = a->ReplaceChild("B");
  EXPECT_EQ(ResolveKeyPath(root, "A\\B", '\\'), fresh);
  EXPECT_FALSE(fresh->IsLoaded() || fresh == b || !fresh->GetFileMap().empty());
}

TEST(IndexInfoPath, AttachedFilesGoByBaseNameAndAMissingOneStillLeavesItsNodes) {
  testing_support::ScopedStateDir state;
  testing_support::WriteFile(state.Sub("one/f"), "1");
  testing_support::WriteFile(state.Sub("two/f"), "2");
  auto root = std::make_shared<CIndexInfoPath>();
  CIndexInfoPathPtr b = ResolveKeyPath(root, "A\\B", '\\');
  ASSERT_FALSE(b->GetBag()->Write("k", "v1").IsError());

  CQiError err = ResolveKeyPath(root, "A\\C", '\\')->AttachLocalFile("/nope");
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 1168));
  EXPECT_EQ(err.GetMessage(), "file '/nope' not found");
  EXPECT_EQ(SubPaths(ResolveKeyPath(root, "A", '\\')), (Names{"B", "C"}));

  for (const char* file : {"one/f", "two/f"}) ASSERT_FALSE(b->AttachLocalFile(state.Sub(file)).IsError());
  EXPECT_EQ(b->GetFileMap(), (CIndexInfoPath::FileMap{{"f", state.Sub("two/f")}}));
  Names keys;
  b->GetKeys(keys);
  EXPECT_EQ(keys, Names{"k"});
}

}  // namespace
