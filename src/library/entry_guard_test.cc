// What an entry point hands the agent when its work throws, and when even
// logging the exception or making the failure throws.
#include "library/entry_guard.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/log/log_backend.h"
#include "support/test_platform.h"

namespace {

using blocklevel::GuardEntryPoint;
using blocklevel::GuardEntryPointValue;

// Memory runs out as soon as anything is logged.
class ThrowingLog : public platform::LogBackend {
 public:
  ThrowingLog() : scope_(*this) {}
  int Level() override { return 7; }
  void Write(int, const char*, int, const std::string&) override { throw std::bad_alloc(); }

 private:
  platform::Log::Scope scope_;
};

TEST(EntryGuard, EveryExceptionBecomesAFailureWithItsMessage) {
  testing_support::CapturingLog log;
  CQiError err = GuardEntryPoint("Entry", []() -> CQiError { throw KzException("driver gone", "f", "x.cc", 3); });
  EXPECT_TRUE(err.IsError());
  EXPECT_EQ(err.GetMessage(), "driver gone");
  EXPECT_TRUE(log.Contains("KzException: driver gone"));

  err = GuardEntryPoint("Entry", []() -> CQiError { throw std::bad_alloc(); });
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 14)) << err.AsString();
  EXPECT_EQ(err.GetMessage(), "Out of memory");

  err = GuardEntryPoint("Entry", []() -> CQiError { throw std::runtime_error("no such row"); });
  EXPECT_EQ(err.GetMessage(), "no such row");
  err = GuardEntryPoint("Entry", []() -> CQiError { throw 7; });
  EXPECT_EQ(err.GetMessage(), "Unknown exception");

  EXPECT_EQ(GuardEntryPointValue("Entry", std::string("none"),
                                 []() -> std::string { throw std::runtime_error("no such row"); }),
            "none");
  EXPECT_EQ(GuardEntryPointValue("Entry", std::string("none"), [] { return std::string("made"); }), "made");
}

TEST(EntryGuard, AFailureToLogOrToMakeTheFailureStaysInside) {
  ThrowingLog log;
  CQiError err;
  EXPECT_NO_THROW(err = GuardEntryPoint("Entry", []() -> CQiError { throw std::runtime_error("no such row"); }));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 14)) << err.AsString();
  EXPECT_EQ(err.GetMessage(), "Out of memory");
  static int none = 0;
  int* result = nullptr;
  EXPECT_NO_THROW(result = GuardEntryPointValue("Entry", &none,
                                                []() -> int* { throw KzException("driver gone", "f", "x.cc", 3); }));
  EXPECT_EQ(result, &none);
}

}  // namespace
