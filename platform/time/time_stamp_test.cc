#include "platform/time/time_stamp.h"

#include <gtest/gtest.h>

#include <ctime>

#include "platform/base/crc64.h"

TEST(CTimeStamp, UnixConversionAndSpecialValues) {
  EXPECT_EQ(CTimeStamp().AsUnixTime(), 0);
  EXPECT_EQ(CTimeStamp(CTimeStamp::kFilled).AsUnixTime(), CTimeStamp::kFilled);
  EXPECT_EQ(CTimeStamp(116444736000000000LL + 10000000LL * 86400).AsUnixTime(), 86400);
  // Before 1970 the division is signed.
  EXPECT_EQ(CTimeStamp(116444736000000000LL - 10000000LL).AsUnixTime(), -1);

  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  EXPECT_NEAR(static_cast<double>(CTimeStamp::Now().AsUnixTime()), static_cast<double>(now), 2.0);
  EXPECT_EQ((CTimeStamp(500) - CTimeStamp(200)).GetTicks(), 300);
  EXPECT_EQ(CTimeInterval::FromSeconds(3).GetTicks(), 30000000);
}

TEST(CAutoTimeCounter, AddsElapsedTimeOnlyWithACounter) {
  CTimeCounter counter;
  counter += CTimeInterval(5);
  { CAutoTimeCounter timed(&counter); }
  EXPECT_GE(counter.Total().GetTicks(), 5);
  { CAutoTimeCounter untimed(nullptr); }
  EXPECT_EQ(counter.Calls(), 2u);

  CTimeCounter idle;
  EXPECT_EQ(idle.AsString(), "Calls=0 Total=0.000s Average=0.000ms");
  idle += CTimeInterval::FromMilliseconds(1500);
  idle += CTimeInterval::FromMilliseconds(500);
  EXPECT_EQ(idle.AsString(), "Calls=2 Total=2.000s Average=1000.000ms");
}

TEST(CQiCRC64, MatchesTheReferenceCheckValue) {
  // CRC-64/XZ of "123456789".
  CQiCRC64 crc;
  crc.Update("123456789", 9);
  EXPECT_EQ(crc.GetCRC64(), 0x995DC9BBDF1939FAULL);
  crc.Reset();
  EXPECT_EQ(crc.GetCRC64(), 0ULL);
}
