#include "platform/hashing/hash_read_handler.h"

#include <cerrno>
#include <cstdlib>
#include <new>
#include <system_error>

#include "platform/hashing/bounded_queue.h"
#include "platform/hashing/extent_name_converter.h"
#include "platform/log/ev_debug.h"
#include "platform/sim/fault_table.h"

namespace {

constexpr unsigned kErrorNoMoreRoom = 259;  // "Accessing out of boundary"
constexpr unsigned kErrorFailed = 774;
constexpr unsigned kErrorAborted = 995;
constexpr size_t kBufferAlignment = 4096;

CQiError OutOfMemory(const FXCodeLocation& location) {
  return FXErrorUtil::ErrorWin32(location, kErrorFailed, "Failed to allocate memory");
}

}  // namespace

// An extent read into a buffer, or where the reading ended.
struct CHashReadHandler::Slot {
  enum Kind { kRead, kEnd, kFailed };
  Kind kind = kEnd;
  unsigned long long extent = 0;
  unsigned char* buffer = nullptr;
  CQiError error;
};

// What one GetNextExtent hands out.
struct CHashReadHandler::Result {
  ExtentHashItem* item = nullptr;
  CQiError error;
  bool end = false;
  bool Last() const { return end || error.IsError(); }
};

class CHashReadHandler::Queues {
 public:
  Queues(size_t buffers, size_t results) : free(buffers), filled(buffers), results(results) {}
  void Stop() {
    free.Stop();
    filled.Stop();
    results.Stop();
  }
  platform::BoundedQueue<unsigned char*> free;
  platform::BoundedQueue<Slot> filled;
  platform::BoundedQueue<Result> results;
};

void CHashReadHandler::FreeDeleter::operator()(unsigned char* buffer) const { std::free(buffer); }

CHashReadHandler::CHashReadHandler() = default;

CHashReadHandler::~CHashReadHandler() { Shutdown(); }

CQiError CHashReadHandler::Initialize(DeviceHashComputeMode mode, const std::string& context,
                                      const boost::shared_ptr<CHashGenerator>& generator,
                                      const boost::shared_ptr<IExtentIterator>& iterator,
                                      unsigned long long extentSize, unsigned long long readAheadLength) {
  CQiError fault = platform::InjectedFault("CHashReadHandler::Initialize", FXCODELOC);
  if (fault.IsError()) return fault;
  Shutdown();
  m_bInitialized = false;
  if (mode != HC_NO_THREAD && mode != HC_SINGLE_THREAD && mode != HC_READ_AND_HASH_THREADS)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Unknown hash compute mode %d for [%s]", static_cast<int>(mode),
                                   context.c_str());
  if (!generator || !iterator || extentSize == 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Read handler for [%s] needs a generator, an iterator and an "
                                   "extent size (%llu)", context.c_str(), extentSize);
  m_eMode = mode;
  m_sContext = context;
  m_pGenerator = generator;
  m_pIterator = iterator;
  m_nExtentSize = extentSize;
  m_nReadAheadLength = readAheadLength;
  m_bInitialized = true;
  return CQiError();
}

CQiError CHashReadHandler::SetReadIterator(const boost::shared_ptr<IExtentIterator>& iterator) {
  if (!iterator || m_bStarted)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Read-ahead iterator for [%s] %s", m_sContext.c_str(),
                                   m_bStarted ? "set after reading began" : "is null");
  m_pReadIterator = iterator;
  return CQiError();
}

CQiError CExtentReadAheadHandler::SetExtentCollect(const boost::shared_ptr<IExtentIterator>& iterator) {
  return SetReadIterator(iterator);
}

CQiError CHashReadHandler::Start() {
  const bool threadReads = ReadsInThread();
  const size_t queued = static_cast<size_t>(m_nReadAheadLength > 0 ? m_nReadAheadLength : 1);
  const size_t buffers = threadReads ? (queued > 2 ? queued : 2) : 1;
  if (m_nExtentSize > SIZE_MAX) return OutOfMemory(FXCODELOC);
  try {
    m_vBuffers.reserve(buffers);
    for (size_t i = 0; i < buffers; ++i) {
      void* memory = nullptr;
      if (::posix_memalign(&memory, kBufferAlignment, static_cast<size_t>(m_nExtentSize)) != 0) {
        m_vBuffers.clear();
        return OutOfMemory(FXCODELOC);
      }
      m_vBuffers.emplace_back(static_cast<unsigned char*>(memory));
    }
    std::lock_guard<std::mutex> lock(m_oStopMutex);
    if (m_bStopped) return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorAborted, "Read handler for [%s] stopped",
                                                   m_sContext.c_str());
    m_pQueues.reset(new Queues(buffers, queued));
    for (auto& buffer : m_vBuffers) m_pQueues->free.Push(buffer.get());
    KZLOG(3, "Context=%s Mode=%d ExtentSize=%llu ReadAhead=%llu%s", m_sContext.c_str(), static_cast<int>(m_eMode),
          m_nExtentSize, m_nReadAheadLength, m_pReadIterator ? " with read-ahead iterator" : "");
    m_bStarted = true;
    if (threadReads) m_oReader = std::thread(&CHashReadHandler::ReaderLoop, this);
    if (threadReads && HashesInThread()) m_oHasher = std::thread(&CHashReadHandler::HasherLoop, this);
    if (!threadReads && HashesInThread()) m_oHasher = std::thread(&CHashReadHandler::WorkerLoop, this);
  } catch (const std::bad_alloc&) {
    return OutOfMemory(FXCODELOC);
  } catch (const std::system_error& e) {
    // The thread that did start ends at once: nothing it reads is taken.
    m_pQueues->Stop();
    if (m_oReader.joinable()) m_oReader.join();
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "Failed to start a thread for [%s]: %s",
                                   m_sContext.c_str(), e.what());
  }
  return CQiError();
}

void CHashReadHandler::Stop() {
  std::thread reader, hasher;
  {
    std::lock_guard<std::mutex> lock(m_oStopMutex);
    m_bStopped = true;
    if (m_pQueues) m_pQueues->Stop();
    reader.swap(m_oReader);
    hasher.swap(m_oHasher);
  }
  if (reader.joinable()) reader.join();
  if (hasher.joinable()) hasher.join();
}

void CHashReadHandler::Shutdown() {
  Stop();
  std::lock_guard<std::mutex> lock(m_oStopMutex);  // a Stop from another thread may look at the queues
  if (m_pQueues) m_pQueues->results.Drain([](Result& result) { delete result.item; });
  m_pQueues.reset();
  m_vBuffers.clear();
  m_bStarted = false;
  m_bFinished = false;
  m_oFinal = CQiError();
  m_bStopped = false;
}

bool CHashReadHandler::OffsetOf(unsigned long long extent, unsigned long long& offset, CQiError& error) const {
  if (extent > ~0ull / m_nExtentSize) {
    error = FXErrorUtil::ErrorWin32(FXCODELOC, kErrorNoMoreRoom, "Accessing out of boundary, extent=%llu", extent);
    return false;
  }
  offset = extent * m_nExtentSize;
  return true;
}

void CHashReadHandler::ReadSlot(unsigned char* buffer, Slot& slot) {
  IExtentIterator& iterator = m_pReadIterator ? *m_pReadIterator : *m_pIterator;
  slot.buffer = buffer;
  bool found = false;
  unsigned long long offset = 0;
  slot.error = iterator.GetNextExtent(slot.extent, found);
  if (!slot.error.IsError() && !found) {
    slot.kind = Slot::kEnd;
    return;
  }
  if (!slot.error.IsError() && OffsetOf(slot.extent, offset, slot.error))
    slot.error = m_pGenerator->ReadBuffer(offset, m_nExtentSize, buffer);
  slot.kind = slot.error.IsError() ? Slot::kFailed : Slot::kRead;
  if (slot.error.IsError()) slot.error.Push(FXCODELOC, "Reading for [%s]", m_sContext.c_str());
}

void CHashReadHandler::HashSlot(const Slot& slot, std::string& hash, Result& result) {
  if (slot.kind == Slot::kFailed) {
    result.error = slot.error;
    return;
  }
  if (m_pReadIterator) {
    // The extent read ahead must be the one the hashing order expects.
    unsigned long long expected = 0;
    bool found = false;
    result.error = m_pIterator->GetNextExtent(expected, found);
    if (result.error.IsError()) return;
    if (found != (slot.kind == Slot::kRead) || (found && expected != slot.extent)) {
      result.error = FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed,
                                             "Read-ahead of [%s] out of step: read %s%llu, expected %s%llu",
                                             m_sContext.c_str(), slot.kind == Slot::kRead ? "extent " : "the end ",
                                             slot.extent, found ? "extent " : "the end ", expected);
      return;
    }
  }
  if (slot.kind == Slot::kEnd) {
    result.end = true;
    return;
  }
  result.error = m_pGenerator->GetHash(slot.buffer, m_nExtentSize, hash);
  if (result.error.IsError()) {
    result.error.Push(FXCODELOC, "Hashing extent %llu for [%s]", slot.extent, m_sContext.c_str());
    return;
  }
  MakeItem(slot.extent, hash, result);
}

void CHashReadHandler::ReadAndHash(unsigned char* buffer, std::string& hash, Result& result) {
  unsigned long long extent = 0, offset = 0;
  bool found = false;
  result.error = m_pIterator->GetNextExtent(extent, found);
  if (!result.error.IsError() && !found) {
    result.end = true;
    return;
  }
  if (!result.error.IsError() && OffsetOf(extent, offset, result.error))
    result.error = m_pGenerator->ReadBufferAndGetHash(offset, m_nExtentSize, buffer, hash);
  if (result.error.IsError()) {
    result.error.Push(FXCODELOC, "Reading for [%s]", m_sContext.c_str());
    return;
  }
  MakeItem(extent, hash, result);
}

void CHashReadHandler::MakeItem(unsigned long long extent, const std::string& hash, Result& result) {
  char name[ExtentHashItem::kNameWidth + 1];
  if (!ExtentNameConverter::Extent_dec_to_base32_v2(extent, name, ExtentHashItem::kNameWidth)) {
    result.error = FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "Extent[%llu] decimal to base32 conversion failed",
                                           extent);
    return;
  }
  try {
    result.item = new ExtentHashItem(std::string(name, ExtentHashItem::kNameWidth), hash, nullptr);
  } catch (const std::bad_alloc&) {
    result.error = OutOfMemory(FXCODELOC);
  }
}

void CHashReadHandler::ReaderLoop() {
  while (!m_bStopped) {
    unsigned char* buffer = nullptr;
    if (!m_pQueues->free.Pop(buffer)) return;
    Slot slot;
    ReadSlot(buffer, slot);
    if (!m_pQueues->filled.Push(slot) || slot.kind != Slot::kRead) return;
  }
}

void CHashReadHandler::HasherLoop() {
  std::string hash;
  while (!m_bStopped) {
    Slot slot;
    if (!m_pQueues->filled.Pop(slot)) return;
    Result result;
    HashSlot(slot, hash, result);
    m_pQueues->free.Push(slot.buffer);
    const bool last = result.Last();
    if (!m_pQueues->results.Push(result)) {
      delete result.item;
      return;
    }
    if (last) return;
  }
}

void CHashReadHandler::WorkerLoop() {
  std::string hash;
  unsigned char* buffer = m_vBuffers.front().get();
  while (!m_bStopped) {
    Result result;
    ReadAndHash(buffer, hash, result);
    const bool last = result.Last();
    if (!m_pQueues->results.Push(result)) {
      delete result.item;
      return;
    }
    if (last) return;
  }
}

CQiError CHashReadHandler::GetNextExtent(ExtentHashItem*& item) {
  item = nullptr;
  CQiError fault = platform::InjectedFault("CHashReadHandler::GetNextExtent", FXCODELOC);
  if (fault.IsError()) return fault;
  if (!m_bInitialized)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "Read handler not initialized");
  if (m_bStopped)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorAborted, "Read handler for [%s] stopped", m_sContext.c_str());
  if (m_bFinished) return m_oFinal;
  if (!m_bStarted) {
    CQiError err = Start();
    if (err.IsError()) {
      m_bStarted = m_bFinished = true;
      return m_oFinal = err;
    }
  }
  Result result;
  if (HashesInThread()) {
    if (!m_pQueues->results.Pop(result))
      return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorAborted, "Read handler for [%s] stopped", m_sContext.c_str());
  } else if (ReadsInThread()) {
    Slot slot;
    if (!m_pQueues->filled.Pop(slot))
      return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorAborted, "Read handler for [%s] stopped", m_sContext.c_str());
    HashSlot(slot, m_sHash, result);
    m_pQueues->free.Push(slot.buffer);
  } else {
    ReadAndHash(m_vBuffers.front().get(), m_sHash, result);
  }
  if (result.Last()) {
    m_bFinished = true;
    m_oFinal = result.error;
  }
  item = result.item;
  return result.error;
}
