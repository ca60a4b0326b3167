// The hash read handler in each of its thread set-ups: items in the
// iterator's order, a failure after the items before it and again after,
// a stop from another thread releasing a waiting caller while a read hangs,
// and nothing left behind (threads, items) when it goes.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/hashing/extent_name_converter.h"
#include "platform/hashing/get_guid.h"
#include "platform/hashing/hash_read_handler.h"
#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

namespace {

constexpr unsigned long long kExtentSize = 4096;
constexpr unsigned long long kNever = ~0ull;

// Extent e holds bytes that name it; reads and hashes can be made to fail,
// or a read to hang until released.
class FakeGenerator : public CHashGenerator {
 public:
  static void Fill(unsigned long long extent, unsigned char* buffer, unsigned long long length) {
    std::memset(buffer, static_cast<int>(extent * 37 + 1), static_cast<size_t>(length));
    std::memcpy(buffer, &extent, sizeof extent);
  }
  static std::string HashOf(unsigned long long extent) {
    std::vector<unsigned char> bytes(kExtentSize);
    Fill(extent, bytes.data(), kExtentSize);
    std::string hash;
    GetGUID(bytes.data(), static_cast<int>(kExtentSize), hash);
    return hash;
  }

  CQiError ReadBuffer(unsigned long long offset, unsigned long long length, unsigned char* buffer) override {
    const unsigned long long extent = offset / kExtentSize;
    if (extent == hangAt) {
      std::unique_lock<std::mutex> lock(mutex);
      hanging = true;
      changed.notify_all();
      changed.wait(lock, [this] { return released; });
    }
    if (extent == failReadAt) return FXErrorUtil::ErrorErrNo(FXCODELOC, EIO, "read of %llu failed", extent);
    Fill(extent, buffer, length);
    return CQiError();
  }
  CQiError GetHash(unsigned char* buffer, unsigned long long length, std::string& hash) override {
    unsigned long long extent = 0;
    std::memcpy(&extent, buffer, sizeof extent);
    if (extent == failHashAt) return FXErrorUtil::ErrorWin32(FXCODELOC, 13, "hash of %llu failed", extent);
    GetGUID(buffer, static_cast<int>(length), hash);
    return CQiError();
  }
  CQiError ReadBufferAndGetHash(unsigned long long offset, unsigned long long length, unsigned char* buffer,
                                std::string& hash) override {
    CQiError err = ReadBuffer(offset, length, buffer);
    return err.IsError() ? err : GetHash(buffer, length, hash);
  }

  void WaitUntilHanging() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return hanging; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    changed.notify_all();
  }

  std::atomic<unsigned long long> failReadAt{kNever}, failHashAt{kNever}, hangAt{kNever};
  std::mutex mutex;
  std::condition_variable changed;
  bool hanging = false, released = false;
};

struct HandlerSetup {
  const char* name;
  DeviceHashComputeMode mode;
  bool readAhead;
};
const HandlerSetup kSetups[] = {{"mode 0", HC_NO_THREAD, false},
                                {"mode 1", HC_SINGLE_THREAD, false},
                                {"mode 2", HC_READ_AND_HASH_THREADS, false},
                                {"mode 0 read-ahead", HC_NO_THREAD, true},
                                {"mode 1 read-ahead", HC_SINGLE_THREAD, true},
                                {"mode 2 read-ahead", HC_READ_AND_HASH_THREADS, true}};

boost::shared_ptr<IExtentIterator> Bits(const std::vector<unsigned char>& bitmap) {
  boost::shared_ptr<CExtBmpIterator> iterator(new CExtBmpIterator());
  EXPECT_FALSE(iterator->Initialize(bitmap.data(), bitmap.size(), 0, 0).IsError());
  return iterator;
}

std::unique_ptr<CHashReadHandler> Make(const HandlerSetup& setup, boost::shared_ptr<CHashGenerator> generator,
                                       const std::vector<unsigned char>& bitmap, unsigned long long readAhead) {
  std::unique_ptr<CExtentReadAheadHandler> handler(new CExtentReadAheadHandler());
  EXPECT_FALSE(handler->Initialize(setup.mode, setup.name, generator, Bits(bitmap), kExtentSize, readAhead).IsError());
  if (setup.readAhead) {
    EXPECT_FALSE(handler->SetExtentCollect(Bits(bitmap)).IsError());
  }
  return handler;
}

// "id:hash" per item, then "end" or the failure's code.
std::vector<std::string> Drain(CHashReadHandler& handler, size_t most = ~size_t{0}) {
  std::vector<std::string> out;
  while (out.size() < most) {
    ExtentHashItem* raw = nullptr;
    CQiError err = handler.GetNextExtent(raw);
    std::unique_ptr<ExtentHashItem> item(raw);
    if (err.IsError()) {
      out.push_back("error " + std::to_string(FXErrorUtil::GetCode(err)));
      break;
    }
    if (!item) {
      out.push_back("end");
      break;
    }
    out.push_back(item->GetExtentName() + ":" + item->GetExtentHash());
  }
  return out;
}

std::string Item(unsigned long long extent) {
  char name[16];
  ExtentNameConverter::Extent_dec_to_base32_v2(extent, name, 8);
  return std::string(name) + ":" + FakeGenerator::HashOf(extent);
}

// Bits 3, 10..12, every fifth from 40 to 995 and 1023 of 1024 extents.
std::vector<unsigned char> Pattern(std::vector<unsigned long long>& set) {
  std::vector<unsigned char> bitmap(128, 0);
  set = {3, 10, 11, 12};
  for (unsigned long long n = 40; n < 1000; n += 5) set.push_back(n);
  set.push_back(1023);
  for (unsigned long long n : set) bitmap[n / 8] |= static_cast<unsigned char>(1u << (n % 8));
  return bitmap;
}

TEST(CHashReadHandler, EveryThreadSetUpHandsOutTheIteratorsExtentsInOrderThenNoItem) {
  testing_support::ScopedStateDir state;
  std::vector<unsigned long long> set;
  const std::vector<unsigned char> bitmap = Pattern(set);
  std::vector<std::string> expected;
  for (unsigned long long n : set) expected.push_back(Item(n));
  expected.push_back("end");
  for (const HandlerSetup& setup : kSetups)
    for (unsigned long long readAhead : {0ull, 1ull, 5ull}) {
      boost::shared_ptr<FakeGenerator> generator(new FakeGenerator());
      auto handler = Make(setup, generator, bitmap, readAhead);
      EXPECT_EQ(Drain(*handler), expected) << setup.name << " read-ahead " << readAhead;
      EXPECT_EQ(Drain(*handler), std::vector<std::string>{"end"}) << setup.name;
      // Left with items read ahead and not taken, it goes without a leak or a hang.
      auto abandoned = Make(setup, generator, bitmap, readAhead);
      EXPECT_EQ(Drain(*abandoned, 2), (std::vector<std::string>{Item(3), Item(10)})) << setup.name;
    }
}

TEST(CHashReadHandler, AFailureComesAfterTheItemsBeforeItAndStays) {
  testing_support::ScopedStateDir state;
  std::vector<unsigned long long> set;
  const std::vector<unsigned char> bitmap = Pattern(set);
  const std::vector<std::string> before = {Item(3), Item(10), Item(11), Item(12), Item(40)};
  for (const HandlerSetup& setup : kSetups) {
    for (bool readFails : {true, false}) {
      boost::shared_ptr<FakeGenerator> generator(new FakeGenerator());
      (readFails ? generator->failReadAt : generator->failHashAt) = 45;
      auto handler = Make(setup, generator, bitmap, 3);
      std::vector<std::string> expected = before;
      expected.push_back(readFails ? "error 5" : "error 13");
      EXPECT_EQ(Drain(*handler), expected) << setup.name;
      EXPECT_EQ(Drain(*handler), std::vector<std::string>{expected.back()}) << setup.name;
    }
    // The iterator's own failure: a collect line that names no extent.
    const std::string path = state.Sub("c.kzf");
    testing_support::WriteFile(path, "/v/00000003\n/v/0000000A\n/v/bad\n/v/0000000C\n");
    auto lines = [&] {
      boost::shared_ptr<CExtCollectIterator> iterator(new CExtCollectIterator());
      EXPECT_FALSE(iterator->Initialize(path, 0, 0).IsError());
      return iterator;
    };
    CExtentReadAheadHandler handler;
    ASSERT_FALSE(handler.Initialize(setup.mode, path, boost::shared_ptr<CHashGenerator>(new FakeGenerator()), lines(),
                                    kExtentSize, 2)
                     .IsError());
    if (setup.readAhead) {
      ASSERT_FALSE(handler.SetExtentCollect(lines()).IsError());
    }
    EXPECT_EQ(Drain(handler), (std::vector<std::string>{Item(3), Item(10), "error 774"})) << setup.name;
  }
}

TEST(CHashReadHandler, StopFromAnotherThreadReleasesAWaitingCallerWhileAReadHangs) {
  testing_support::ScopedStateDir state;
  std::vector<unsigned long long> set;
  const std::vector<unsigned char> bitmap = Pattern(set);
  for (const HandlerSetup& setup : kSetups) {
    if (setup.mode == HC_NO_THREAD && !setup.readAhead) continue;  // nothing waits: the caller reads itself
    boost::shared_ptr<FakeGenerator> generator(new FakeGenerator());
    generator->hangAt = 12;
    auto handler = Make(setup, generator, bitmap, 4);
    std::vector<std::string> out;
    std::atomic<size_t> taken{0};
    std::thread caller([&] {
      for (std::vector<std::string> one; one.empty() || one.back().find(':') != std::string::npos; ++taken) {
        one = Drain(*handler, 1);
        out.push_back(one.back());
      }
    });
    generator->WaitUntilHanging();
    while (taken < 3) std::this_thread::yield();  // the items read before the hang are taken; then it waits
    std::thread stopper([&] { handler->Stop(); });
    caller.join();  // returns while the read still hangs
    EXPECT_EQ(out, (std::vector<std::string>{Item(3), Item(10), Item(11), "error 995"})) << setup.name;
    generator->Release();
    stopper.join();
    EXPECT_EQ(Drain(*handler), std::vector<std::string>{"error 995"});
  }
}

TEST(CHashReadHandler, RefusesWhatItCannotUseAndTakesFaultsPerCall) {
  testing_support::ScopedStateDir state;
  std::vector<unsigned long long> set;
  const std::vector<unsigned char> bitmap = Pattern(set);
  boost::shared_ptr<CHashGenerator> generator(new FakeGenerator());
  CExtentReadAheadHandler handler;
  EXPECT_EQ(Drain(handler), std::vector<std::string>{"error 774"});
  EXPECT_TRUE(FXErrorUtil::IsErrNo(
      handler.Initialize(static_cast<DeviceHashComputeMode>(3), "c", generator, Bits(bitmap), kExtentSize, 1), 22));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(handler.Initialize(HC_NO_THREAD, "c", nullptr, Bits(bitmap), kExtentSize, 1), 22));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(handler.Initialize(HC_NO_THREAD, "c", generator, nullptr, kExtentSize, 1), 22));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(handler.Initialize(HC_NO_THREAD, "c", generator, Bits(bitmap), 0, 1), 22));
  EXPECT_EQ(Drain(handler), std::vector<std::string>{"error 774"});
  platform::FaultTable::Set("CHashReadHandler::Initialize", 7, false, 1);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(handler.Initialize(HC_NO_THREAD, "c", generator, Bits(bitmap), kExtentSize, 1), 7));

  // A failed call hands out nothing and loses nothing.
  ASSERT_FALSE(handler.Initialize(HC_READ_AND_HASH_THREADS, "c", generator, Bits(bitmap), kExtentSize, 2).IsError());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(handler.SetExtentCollect(nullptr), 22));
  EXPECT_EQ(Drain(handler, 1), std::vector<std::string>{Item(3)});
  platform::FaultTable::Set("CHashReadHandler::GetNextExtent", 9, false, 1);
  EXPECT_EQ(Drain(handler, 1), std::vector<std::string>{"error 9"});
  EXPECT_EQ(Drain(handler, 1), std::vector<std::string>{Item(10)});
  // Read-ahead is set before reading, or not at all.
  EXPECT_TRUE(FXErrorUtil::IsErrNo(handler.SetExtentCollect(Bits(bitmap)), 22));

  // An extent whose offset is past 64 bits, and a read-ahead iterator over other extents.
  std::vector<unsigned char> one = {1};
  boost::shared_ptr<CExtBmpIterator> far(new CExtBmpIterator());
  ASSERT_FALSE(far->Initialize(one.data(), 1, 0, 1ull << 60).IsError());
  ASSERT_FALSE(handler.Initialize(HC_SINGLE_THREAD, "c", generator, far, kExtentSize, 2).IsError());
  EXPECT_EQ(Drain(handler), std::vector<std::string>{"error 259"});
  ASSERT_FALSE(handler.Initialize(HC_NO_THREAD, "c", generator, Bits(bitmap), kExtentSize, 2).IsError());
  ASSERT_FALSE(handler.SetExtentCollect(Bits(one)).IsError());
  EXPECT_EQ(Drain(handler), std::vector<std::string>{"error 774"});
}

}  // namespace
