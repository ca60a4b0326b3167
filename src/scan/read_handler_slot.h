#pragma once
// Where a volume reader keeps its hash read handler, so that Stop can come
// from another thread while the reader's own thread sets up or reads. A stop
// also holds for a handler put in place after it: a reader stopped between
// two units does not start reading the next.
#include <boost/shared_ptr.hpp>

#include <mutex>

#include "platform/hashing/hash_read_handler.h"

namespace scan {

class ReadHandlerSlot {
 public:
  // The reader's thread only.
  void Set(const boost::shared_ptr<CHashReadHandler>& handler) {
    std::lock_guard<std::mutex> lock(m_oMutex);
    m_pHandler = handler;
    if (m_bStopped && m_pHandler) m_pHandler->Stop();
  }
  // The reader's thread only: no other thread changes it.
  CHashReadHandler* Get() const { return m_pHandler.get(); }

  void Stop() {
    std::lock_guard<std::mutex> lock(m_oMutex);
    m_bStopped = true;
    if (m_pHandler) m_pHandler->Stop();
  }

 private:
  std::mutex m_oMutex;
  boost::shared_ptr<CHashReadHandler> m_pHandler;
  bool m_bStopped = false;
};

}  // namespace scan
