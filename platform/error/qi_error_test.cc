#include "platform/error/qi_error.h"

#include <gtest/gtest.h>

#include <cerrno>

TEST(CQiError, ErrNoFailureKeepsItsCodeAndWholeChainThroughPush) {
  FXCodeLocation origin("origin.cc", "int Origin()", 10);
  FXCodeLocation caller("caller.cc", "int Caller()", 20);
  CQiError error = FXErrorUtil::ErrorErrNo(origin, 2, "x %d", 5);
  CQiError pushed = error;
  pushed.Push(caller, "while %s", "reading");

  for (const CQiError* e : {&error, &pushed}) {
    EXPECT_TRUE(e->IsError());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(*e, 2));
    EXPECT_EQ(FXErrorUtil::GetErrNo(*e), 2);
    EXPECT_EQ(e->GetMessage(), "x 5");
  }
  const std::string chain = pushed.AsString();
  EXPECT_NE(chain.find("x 5"), std::string::npos);
  EXPECT_NE(chain.find("origin.cc:10"), std::string::npos);
  EXPECT_NE(chain.find("caller.cc:20 int Caller(): while reading"), std::string::npos);
  EXPECT_LT(chain.find("origin.cc"), chain.find("caller.cc"));
  // The copy shares the origin but the push did not change it.
  EXPECT_EQ(error.AsString().find("caller.cc"), std::string::npos);
}

TEST(CQiError, CodesNeverReadAsSuccess) {
  FXCodeLocation here("f.cc", "f", 1);
  EXPECT_TRUE(FXErrorUtil::ErrorErrNo(here, 0).IsError());
  EXPECT_EQ(FXErrorUtil::GetCode(FXErrorUtil::ErrorErrNo(here, 0)), -1);
  EXPECT_TRUE(FXErrorUtil::ErrorErrNo(here, -1, "m").IsError());
  EXPECT_TRUE(FXErrorUtil::IsWin32(FXErrorUtil::ErrorWin32(here, 774, "%s", "Mismatch"), 774));
  EXPECT_FALSE(FXErrorUtil::IsErrNo(FXErrorUtil::ErrorWin32(here, 774)));
  // Codes with the top bit set (HRESULT-style) stay failures and read back whole.
  for (unsigned code : {0x80000000u, 0x80070005u, 0xFFFFFFFFu}) {
    CQiError high = FXErrorUtil::ErrorWin32(here, code, "hr");
    EXPECT_TRUE(high.IsError()) << std::hex << code;
    EXPECT_EQ(FXErrorUtil::GetWin32(high), code);
  }

  errno = 0;
  CQiError fromStream = FXErrorUtil::ErrorFromErrno(here, "Could not write %s", "f");
  EXPECT_EQ(FXErrorUtil::GetCode(fromStream), -1);
  errno = ENOSPC;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(FXErrorUtil::ErrorFromErrno(here, "w"), ENOSPC));

  CQiError error = FXErrorUtil::ErrorErrNo(here, 22);
  EXPECT_FALSE(error.Success().IsError());
  EXPECT_EQ(error.GetErrorCode(), 0);
  EXPECT_EQ(error.AsString(), "code=0");
}

TEST(CQiError, LocationMacroRecordsFullSignature) {
  FXCodeLocation here = FXCODELOC;
  EXPECT_NE(std::string(here.m_szFunction).find("TestBody"), std::string::npos);
  EXPECT_GT(here.m_nLine, 0);
}
