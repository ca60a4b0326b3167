#include "platform/sim/fault_table.h"

#include <gtest/gtest.h>

#include "platform/event/ev_event.h"
#include "support/test_platform.h"

using testing_support::ScopedStateDir;

TEST(FaultTable, ErrorThrowAndCountedFaults) {
  ScopedStateDir state;
  EXPECT_FALSE(platform::InjectedFault("Svc::call", FXCODELOC).IsError());

  platform::FaultTable::Set("Svc::call", 1627);
  CQiError error = platform::InjectedFault("Svc::call", FXCODELOC);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 1627));
  EXPECT_TRUE(platform::InjectedFault("Svc::call", FXCODELOC).IsError());  // every call

  platform::FaultTable::Set("Svc::call", 5, true);
  EXPECT_THROW(platform::InjectedFault("Svc::call", FXCODELOC), KzException);

  platform::FaultTable::Set("Svc::call", 7, false, 2);
  int code = 0;
  EXPECT_TRUE(platform::InjectedFaultCode("Svc::call", code));
  EXPECT_EQ(code, 7);
  EXPECT_TRUE(platform::InjectedFaultCode("Svc::call", code));
  EXPECT_FALSE(platform::InjectedFaultCode("Svc::call", code));
  EXPECT_TRUE(platform::FaultTable::List().empty());

  // A count of 0 hits no call at all (not every call).
  platform::FaultTable::Set("Svc::call", 9, false, -1);
  platform::FaultTable::Set("Svc::call", 9, false, 0);
  EXPECT_FALSE(platform::InjectedFaultCode("Svc::call", code));
  EXPECT_TRUE(platform::FaultTable::List().empty());

  // A thrown fault carries its code, whichever form of the call checks it.
  platform::FaultTable::Set("Svc::call", 11, true, 1);
  try {
    platform::InjectedFaultCode("Svc::call", code);
    ADD_FAILURE() << "no exception";
  } catch (const KzException& exception) {
    EXPECT_EQ(exception.getCode(), 11);
  }
}

TEST(EvEvent, ArgumentsAreStoredForInspection) {
  ScopedStateDir state;
  EvEvent event;
  event << 100ULL << "vol1 ";
  ASSERT_EQ(event.Arguments().size(), 2u);
  EXPECT_EQ(event.Arguments()[0].type, 10);
  EXPECT_EQ(event.Arguments()[1].type, 11);
  event.InfoEvent(0x46000018, 100, 0);

  std::vector<platform::RaisedEvent> stored = platform::StoredEvents();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].eventId, 0x46000018);
  EXPECT_EQ(stored[0].jobId, 100);
  ASSERT_EQ(stored[0].arguments.size(), 2u);
  EXPECT_EQ(stored[0].arguments[0], "100");
  EXPECT_EQ(stored[0].arguments[1], "vol1 ");
}
