#pragma once
// Time in 100-nanosecond ticks: CTimeStamp counts from 1601-01-01 00:00 UTC,
// CTimeInterval is a duration.
#include <atomic>
#include <cstdint>
#include <string>

class CTimeInterval {
 public:
  CTimeInterval() = default;
  explicit CTimeInterval(int64_t ticks) : m_nTicks(ticks) {}
  static CTimeInterval FromSeconds(int64_t seconds) { return CTimeInterval(seconds * 10000000LL); }
  static CTimeInterval FromMilliseconds(int64_t ms) { return CTimeInterval(ms * 10000LL); }
  int64_t GetTicks() const { return m_nTicks; }
  int64_t GetMilliseconds() const { return m_nTicks / 10000LL; }
  double GetSeconds() const { return static_cast<double>(m_nTicks) / 1e7; }
  CTimeInterval& operator+=(const CTimeInterval& other) {
    m_nTicks += other.m_nTicks;
    return *this;
  }

 private:
  int64_t m_nTicks = 0;
};

class CTimeStamp {
 public:
  static constexpr int64_t kFilled = 0x7FFFFFFFFFFFFFFFLL;
  static constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

  CTimeStamp() = default;
  explicit CTimeStamp(int64_t ticks) : m_nTicks(ticks) {}
  static CTimeStamp Now();
  static CTimeStamp FromUnixTime(int64_t seconds) { return CTimeStamp(seconds * 10000000LL + kUnixEpochTicks); }

  bool IsClear() const { return m_nTicks == 0; }
  bool IsFilled() const { return m_nTicks == kFilled; }
  int64_t GetTicks() const { return m_nTicks; }
  int64_t AsUnixTime() const {
    if (IsClear()) return 0;
    if (IsFilled()) return kFilled;
    return (m_nTicks - kUnixEpochTicks) / 10000000LL;
  }
  CTimeInterval operator-(const CTimeStamp& earlier) const { return CTimeInterval(m_nTicks - earlier.m_nTicks); }

 private:
  int64_t m_nTicks = 0;
};

// Accumulates elapsed time and the number of timed calls. Threads may add
// to one counter at once (a reader thread and a hash thread share a
// generator's counters).
class CTimeCounter {
 public:
  CTimeCounter() = default;
  CTimeCounter(const CTimeCounter&) = delete;
  CTimeCounter& operator=(const CTimeCounter&) = delete;

  CTimeCounter& operator+=(const CTimeInterval& interval) {
    m_nTicks.fetch_add(interval.GetTicks(), std::memory_order_relaxed);
    m_nCalls.fetch_add(1, std::memory_order_relaxed);
    return *this;
  }
  CTimeInterval Total() const { return CTimeInterval(m_nTicks.load(std::memory_order_relaxed)); }
  uint64_t Calls() const { return m_nCalls.load(std::memory_order_relaxed); }
  // "Calls=<n> Total=<seconds>s Average=<milliseconds>ms", three decimals.
  std::string AsString() const;

 private:
  std::atomic<int64_t> m_nTicks{0};
  std::atomic<uint64_t> m_nCalls{0};
};

// Adds the time between its construction and destruction to a counter.
class CAutoTimeCounter {
 public:
  explicit CAutoTimeCounter(CTimeCounter* counter) : m_pCounter(counter) {
    if (m_pCounter != nullptr) m_oStart = CTimeStamp::Now();
  }
  ~CAutoTimeCounter() {
    if (m_pCounter != nullptr) *m_pCounter += CTimeStamp::Now() - m_oStart;
  }
  CAutoTimeCounter(const CAutoTimeCounter&) = delete;
  CAutoTimeCounter& operator=(const CAutoTimeCounter&) = delete;

 private:
  CTimeCounter* m_pCounter;
  CTimeStamp m_oStart;
};
