#include "pseudosnap/oracle_entry_path.h"

#include <gtest/gtest.h>

namespace {

TEST(OraEntryParentPath, FirstTwoComponentsWithTheirDelimiter) {
  const std::pair<const char*, const char*> cases[] = {
      {"/TblView/PROD/USERS", "/TblView/PROD/"},
      {"\\TblView\\PROD\\X", "\\TblView\\PROD\\"},
      {"/TblView/ PROD /USERS", "/TblView/PROD/"},
      {"/TblView/PROD", ""},
      {"abc/def", ""},
      {"/TblView/ /x", ""},
      {"TblView", ""},
  };
  for (const auto& [path, parent] : cases) EXPECT_EQ(GetOraEntryParentPath(path), parent) << path;
}

}  // namespace
