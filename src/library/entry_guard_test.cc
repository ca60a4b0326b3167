// What an entry point hands the agent when even logging the exception of its
// work, or making the failure, throws.
#include "library/entry_guard.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "platform/log/log_backend.h"

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
