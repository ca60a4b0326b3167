#include "platform/sim/fault_table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "platform/event/ev_event.h"
#include "platform/harness/sim_harness.h"
#include "platform/sim/fault_names.h"
#include "support/test_platform.h"

using testing_support::ScopedStateDir;

TEST(FaultTable, ErrorThrowAndCountedFaults) {
  ScopedStateDir state;
  EXPECT_FALSE(platform::InjectedFault("KzBfDriver::getBitmap", FXCODELOC).IsError());

  platform::FaultTable::Set("KzBfDriver::getBitmap", 1627);
  CQiError error = platform::InjectedFault("KzBfDriver::getBitmap", FXCODELOC);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 1627));
  EXPECT_TRUE(platform::InjectedFault("KzBfDriver::getBitmap", FXCODELOC).IsError());  // every call

  platform::FaultTable::Set("KzBfDriver::getBitmap", 5, true);
  EXPECT_THROW(platform::InjectedFault("KzBfDriver::getBitmap", FXCODELOC), KzException);

  platform::FaultTable::Set("KzBfDriver::getBitmap", 7, false, 2);
  int code = 0;
  EXPECT_TRUE(platform::InjectedFaultCode("KzBfDriver::getBitmap", code));
  EXPECT_EQ(code, 7);
  EXPECT_TRUE(platform::InjectedFaultCode("KzBfDriver::getBitmap", code));
  EXPECT_FALSE(platform::InjectedFaultCode("KzBfDriver::getBitmap", code));
  EXPECT_TRUE(platform::FaultTable::List().empty());

  // A count of 0 hits no call at all (not every call).
  platform::FaultTable::Set("KzBfDriver::getBitmap", 9, false, -1);
  platform::FaultTable::Set("KzBfDriver::getBitmap", 9, false, 0);
  EXPECT_FALSE(platform::InjectedFaultCode("KzBfDriver::getBitmap", code));
  EXPECT_TRUE(platform::FaultTable::List().empty());

  // A thrown fault carries its code, whichever form of the call checks it.
  platform::FaultTable::Set("KzBfDriver::getBitmap", 11, true, 1);
  try {
    platform::InjectedFaultCode("KzBfDriver::getBitmap", code);
    ADD_FAILURE() << "no exception";
  } catch (const KzException& exception) {
    EXPECT_EQ(exception.getCode(), 11);
  }
}

TEST(FaultTable, ADelayHoldsTheCallForRealTimeAndThenLetsItRun) {
  ScopedStateDir state;  // sleeps are scaled to nothing here: a delay is not
  platform::FaultTable::Set("KzBfDriver::clearBitmap", 150, platform::FaultMode::kDelay, 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(platform::InjectedFault("KzBfDriver::clearBitmap", FXCODELOC).IsError());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  EXPECT_TRUE(platform::FaultTable::List().empty());  // the one hit is taken

  platform::FaultTable::Set("KzBfDriver::clearBitmap", 1, platform::FaultMode::kDelay);
  int code = 0;
  EXPECT_FALSE(platform::InjectedFaultCode("KzBfDriver::clearBitmap", code));
  ASSERT_EQ(platform::FaultTable::List().size(), 1u);
  EXPECT_EQ(platform::FaultTable::List()[0].mode, platform::FaultMode::kDelay);
}

TEST(FaultTable, AFaultSetInThisProcessReachesEveryThreadAtOnce) {
  ScopedStateDir state;
  std::promise<void> looked, set;
  std::future<bool> sawFault = std::async(std::launch::async, [&] {
    int code = 0;
    const bool before = platform::InjectedFaultCode("KzFileLock::lock", code);
    looked.set_value();  // this thread now holds its own copy of the table
    set.get_future().wait();
    return !before && platform::InjectedFaultCode("KzFileLock::lock", code) && code == 16;
  });
  looked.get_future().wait();
  platform::FaultTable::Set("KzFileLock::lock", 16);
  set.set_value();
  EXPECT_TRUE(sawFault.get());

  // So does clearing it, and a new state directory starts without the old one's faults.
  int code = 0;
  EXPECT_TRUE(platform::InjectedFaultCode("KzFileLock::lock", code));
  {
    ScopedStateDir other;
    EXPECT_FALSE(platform::InjectedFaultCode("KzFileLock::lock", code));
  }
  platform::FaultTable::ClearAll();
  EXPECT_FALSE(platform::InjectedFaultCode("KzFileLock::lock", code));
}

TEST(FaultNames, MistypedNamesAreRefusedWithTheNearestOnes) {
  ScopedStateDir state;
  EXPECT_THROW(platform::FaultTable::Set("No::SuchCall", 5), std::invalid_argument);
  EXPECT_THROW(platform::FaultTable::Set("KzBfDriver::getBitmp", 5), std::invalid_argument);
  EXPECT_TRUE(platform::FaultTable::List().empty());
  const std::vector<std::string> nearest = platform::NearestFailableCalls("kzbfdriver::getbitmp");
  ASSERT_EQ(nearest.size(), 3u);
  EXPECT_EQ(nearest[0], "KzBfDriver::getBitmap");
  EXPECT_TRUE(platform::IsFailableCall("KzBfDriver::getBitmap"));
  EXPECT_FALSE(platform::IsFailableCall("kzbfdriver::getbitmap"));
}

TEST(EvEvent, ArgumentsAreStoredForInspection) {
  ScopedStateDir state;
  EvEvent event;
  event << 100ULL << "vol1 ";
  ASSERT_EQ(event.Arguments().size(), 2u);
  EXPECT_EQ(event.Arguments()[0].type, 10);
  EXPECT_EQ(event.Arguments()[1].type, 11);
  event.InfoEvent(0x46000018, 100, 0);

  std::vector<platform::RaisedEvent> stored = blbsim::Events();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].eventId, 0x46000018);
  EXPECT_EQ(stored[0].jobId, 100);
  ASSERT_EQ(stored[0].arguments.size(), 2u);
  EXPECT_EQ(stored[0].arguments[0], "100");
  EXPECT_EQ(stored[0].arguments[1], "vol1 ");
}
