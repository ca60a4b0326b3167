#pragma once
// CHashReadHandler: the extent-hashing library's reader. It takes extents
// from an iterator, has the caller's CHashGenerator read each one (offset =
// extent x extent size, length = extent size) and hash it, and hands out one
// ExtentHashItem per extent, always in the iterator's order.
//
// Modes: HC_NO_THREAD reads and hashes on the caller's thread inside
// GetNextExtent; HC_SINGLE_THREAD has one worker read and hash up to the
// read-ahead length of extents ahead; HC_READ_AND_HASH_THREADS has a read
// thread and a hash thread joined by a bounded queue of read-ahead-length
// (at least two) reused buffers, so reads overlap hashing. Threads start at
// the first GetNextExtent; buffers are page-aligned, one extent each, and
// made once.
//
// A failure (of the iterator, a read or a hash) comes out of the
// GetNextExtent of the extent it belongs to, after the items before it, and
// every later call gives it again; at the end GetNextExtent gives no item,
// again and again. Stop may come from any thread: a GetNextExtent waiting
// then returns 995, threads end and are joined; the destructor stops too.
//
// CExtentReadAheadHandler reads with a second iterator over the same
// extents (SetExtentCollect), ahead of the one it hashes by, in a read
// thread of its own; its items are the same.
//
// Faults: "CHashReadHandler::Initialize", "CHashReadHandler::GetNextExtent"
// (checked per call at the cost of an unfaulted check).
#include <boost/shared_ptr.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/error/qi_error.h"
#include "platform/hashing/extent_hash_item.h"
#include "platform/hashing/extent_iterator.h"
#include "platform/hashing/hash_generator.h"

enum DeviceHashComputeMode { HC_NO_THREAD = 0, HC_SINGLE_THREAD = 1, HC_READ_AND_HASH_THREADS = 2 };

class CHashReadHandler {
 public:
  CHashReadHandler();
  virtual ~CHashReadHandler();
  CHashReadHandler(const CHashReadHandler&) = delete;
  CHashReadHandler& operator=(const CHashReadHandler&) = delete;

  // context names the work in the log (a collect file's path). A mode out of
  // range, a null generator or iterator, or an extent size of 0 fail with 22.
  // Initializing again stops and drops what the handler was doing.
  CQiError Initialize(DeviceHashComputeMode mode, const std::string& context,
                      const boost::shared_ptr<CHashGenerator>& generator,
                      const boost::shared_ptr<IExtentIterator>& iterator, unsigned long long extentSize,
                      unsigned long long readAheadLength);
  // The next item, owned by the caller; null (and success) at the end.
  CQiError GetNextExtent(ExtentHashItem*& item);
  void Stop();

 protected:
  // Reads with this iterator instead; refused (22) once reading began.
  CQiError SetReadIterator(const boost::shared_ptr<IExtentIterator>& iterator);

 private:
  struct Slot;
  struct Result;
  struct FreeDeleter {
    void operator()(unsigned char* buffer) const;
  };
  class Queues;

  // Allocates the buffers and starts the threads the mode asks for.
  CQiError Start();
  // Stops and joins the threads, releasing items not handed out.
  void Shutdown();
  bool ReadsInThread() const { return m_eMode == HC_READ_AND_HASH_THREADS || m_pReadIterator != nullptr; }
  bool HashesInThread() const { return m_eMode != HC_NO_THREAD; }

  void ReadSlot(unsigned char* buffer, Slot& slot);
  void HashSlot(const Slot& slot, std::string& hash, Result& result);
  void ReadAndHash(unsigned char* buffer, std::string& hash, Result& result);
  // Byte offset of an extent; false past the largest offset.
  bool OffsetOf(unsigned long long extent, unsigned long long& offset, CQiError& error) const;
  void MakeItem(unsigned long long extent, const std::string& hash, Result& result);

  void ReaderLoop();
  void HasherLoop();
  void WorkerLoop();

  DeviceHashComputeMode m_eMode = HC_NO_THREAD;
  std::string m_sContext;
  boost::shared_ptr<CHashGenerator> m_pGenerator;
  boost::shared_ptr<IExtentIterator> m_pIterator;
  boost::shared_ptr<IExtentIterator> m_pReadIterator;  // reads ahead when set
  unsigned long long m_nExtentSize = 0;
  unsigned long long m_nReadAheadLength = 0;
  bool m_bInitialized = false;
  bool m_bStarted = false;
  bool m_bFinished = false;
  CQiError m_oFinal;  // what every call after the last item gives
  std::string m_sHash;  // reused by hashing on the caller's thread

  std::vector<std::unique_ptr<unsigned char, FreeDeleter>> m_vBuffers;
  std::unique_ptr<Queues> m_pQueues;
  std::mutex m_oStopMutex;  // guards the stop flag, the queues' making and the threads
  std::atomic<bool> m_bStopped{false};
  std::thread m_oReader;
  std::thread m_oHasher;
};

class CExtentReadAheadHandler : public CHashReadHandler {
 public:
  // The second iterator, over the same extents as the first; refused (22)
  // when null or once reading began.
  CQiError SetExtentCollect(const boost::shared_ptr<IExtentIterator>& iterator);
};
