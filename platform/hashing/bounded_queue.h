#pragma once
// A blocking first-in first-out queue of fixed capacity between two threads
// of a hash read handler. Its storage is made once, so passing an element
// allocates nothing; Stop wakes every waiter for good.
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {

template <class T>
class BoundedQueue {
 public:
  explicit BoundedQueue(size_t capacity) : m_vSlots(capacity > 0 ? capacity : 1) {}

  // Waits for room; false (the element not taken) once stopped.
  bool Push(T element) {
    std::unique_lock<std::mutex> lock(m_oMutex);
    m_oNotFull.wait(lock, [this] { return m_bStopped || m_nCount < m_vSlots.size(); });
    if (m_bStopped) return false;
    m_vSlots[(m_nHead + m_nCount) % m_vSlots.size()] = std::move(element);
    ++m_nCount;
    m_oNotEmpty.notify_one();
    return true;
  }

  // Waits for an element; false once stopped, even with elements left.
  bool Pop(T& element) {
    std::unique_lock<std::mutex> lock(m_oMutex);
    m_oNotEmpty.wait(lock, [this] { return m_bStopped || m_nCount > 0; });
    if (m_bStopped) return false;
    element = std::move(m_vSlots[m_nHead]);
    m_nHead = (m_nHead + 1) % m_vSlots.size();
    --m_nCount;
    m_oNotFull.notify_one();
    return true;
  }

  void Stop() {
    std::lock_guard<std::mutex> lock(m_oMutex);
    m_bStopped = true;
    m_oNotEmpty.notify_all();
    m_oNotFull.notify_all();
  }

  // Takes what is left after Stop (to release it), oldest first.
  template <class Function>
  void Drain(Function release) {
    std::lock_guard<std::mutex> lock(m_oMutex);
    for (; m_nCount > 0; --m_nCount) {
      release(m_vSlots[m_nHead]);
      m_nHead = (m_nHead + 1) % m_vSlots.size();
    }
  }

 private:
  std::mutex m_oMutex;
  std::condition_variable m_oNotEmpty;
  std::condition_variable m_oNotFull;
  std::vector<T> m_vSlots;
  size_t m_nHead = 0;
  size_t m_nCount = 0;
  bool m_bStopped = false;
};

}  // namespace platform
