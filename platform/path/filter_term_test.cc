#include "platform/path/filter_term.h"

#include <gtest/gtest.h>

#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

TEST(FilterTerm, PatternsMatchBaseNamesOrWholePaths) {
  testing_support::ScopedStateDir state;
  struct Case {
    const char* pattern;
    const char* path;
    bool matches;
  };
  for (const Case& c : std::vector<Case>{
           {"*.tmp", "/jr/a/y.tmp", true},
           {"*.tmp", "/jr/a/y.tmp.log", false},
           {"*.tmp", "/jr/a.tmp/y", false},
           {"*.tmp", "/jr/.tmp", true},
           {" *.tmp", "/jr/y.tmp", false},
           {"y.TMP", "/jr/y.tmp", false},
           {"?.log", "/jr/x.log", true},
           {"?.log", "/jr/xx.log", false},
           {"x*", "/jr/x", true},
           {"**/Failures.kzf", "/t/jr/a/Failures.kzf", true},
           {"**/Failures.kzf", "/Failures.kzf", true},
           {"**/Failures.kzf", "/t/jr/a/Failures.kzf.1", false},
           {"**/Failures.kzf", "/t/jr/aFailures.kzf", false},
           {"/jr/*.log", "/jr/a/x.log", false},
           {"/jr/*/x.log", "/jr/a/x.log", true},
           {"/jr/?/x.log", "/jr//x.log", false},
           {"/jr/**.log", "/jr/a/b/x.log", true},
           {"/jr/***", "/jr/a/b", true},
           {"*a*a*a*a*a*a*b", "/jr/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
       }) {
    CFilterTerm term;
    ASSERT_FALSE(term.LoadRaw(c.pattern).IsError()) << c.pattern;
    EXPECT_EQ(term.Matches(c.path), c.matches) << c.pattern << " " << c.path;
  }
  // A term that did not load matches nothing.
  CFilterTerm term;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(term.LoadRaw(""), 22));
  EXPECT_FALSE(term.Matches(""));
  platform::FaultTable::Set("CFilterTerm::LoadRaw", 5, false, 1);
  EXPECT_TRUE(term.LoadRaw("*").IsError());
  EXPECT_FALSE(term.Matches("/a"));
}
