// The tools' one-line report of a failure: a quoted chain cut to its
// messages, and the whole line within its limit.
#include <gtest/gtest.h>

#include <string>

#include "platform/error/qi_error.h"
#include "verbs/error_report.h"
#include "verbs/quoted_chain.h"

// A chain quoted without brackets, with another code, inside another quote;
// one without messages keeps its code.
TEST(ErrorLine, QuotedChainsKeepTheirMessagesAndOtherCodes) {
  CQiError io = FXErrorUtil::ErrorErrNo(FXCODELOC, 5, "Read of [/dev/b] failed");
  io.Push(FXCODELOC, "No record");
  const CQiError bare = FXErrorUtil::ErrorErrNo(FXCODELOC, 2);
  const std::string message = "Scan failed (error=[" + io.AsString() + "]), error=" + bare.AsString();
  EXPECT_EQ(tools::WithQuotedChainsShort(message, -28),
            "Scan failed (error=[code=-5: Read of [/dev/b] failed; No record]), error=code=-2");
  EXPECT_EQ(tools::WithQuotedChainsShort("no chain | here, code=5 | ", -5), "no chain | here, code=5 | ");
}

TEST(ErrorLine, ALongFirstMessageIsCutSoThatTheWholeLineFitsItsLimit) {
  const CQiError error = FXErrorUtil::ErrorErrNo(FXCODELOC, 28, "%s", std::string(1000, 'x').c_str());
  const std::string tail = "...: No space left on device (code=-28)";
  for (size_t most : {tools::kErrorLineLimit, tools::kErrorLineLimit - 30}) {
    const std::string line = tools::ErrorLine(error, most);
    EXPECT_EQ(line.size(), most) << line;
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
  }
  const CQiError fits = FXErrorUtil::ErrorErrNo(FXCODELOC, 28, "%s", std::string(350, 'x').c_str());
  EXPECT_EQ(tools::ErrorLine(fits), std::string(350, 'x') + ": No space left on device (code=-28)");
}

// A failure made over another with a code its caller relies on (a scan that
// failed for every volume gives 2) names the cause the system gave the
// failure it quotes, not the text of its own code.
TEST(ErrorLine, ACodeMadeOverAQuotedFailureNamesTheQuotedCause) {
  const CQiError full = FXErrorUtil::ErrorErrNo(FXCODELOC, 28, "Failed to write [/jr/c1]");
  const CQiError all =
      FXErrorUtil::ErrorErrNo(FXCODELOC, 2, "All failed, the first with error=[%s]", full.AsString().c_str());
  EXPECT_EQ(tools::ErrorLine(all),
            "All failed, the first with error=[code=-28: Failed to write [/jr/c1]]: No space left on device (code=-2)");
  const CQiError plain = FXErrorUtil::ErrorErrNo(FXCODELOC, 2, "Nothing quoted");
  EXPECT_EQ(tools::ErrorLine(plain), "Nothing quoted: No such file or directory (code=-2)");
}
