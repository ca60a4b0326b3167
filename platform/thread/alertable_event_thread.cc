#include "platform/thread/alertable_event_thread.h"

#include <chrono>
#include <system_error>

#include "platform/sim/fault_table.h"

CAlertableEventThread::~CAlertableEventThread() {
  Join();
}

bool CAlertableEventThread::Start() {
  if (platform::InjectedFault("CAlertableEventThread::Start", FXCODELOC).IsError()) return false;
  std::lock_guard<std::mutex> lock(m_oMutex);
  if (m_bStarted) return false;
  try {
    m_oThread = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  m_bStarted = true;
  return true;
}

bool CAlertableEventThread::StartSynchronously() {
  if (!Start()) return false;
  std::unique_lock<std::mutex> lock(m_oMutex);
  m_oStarted.wait(lock, [this] { return m_bOnStartReturned; });
  return true;
}

void CAlertableEventThread::Stop(bool wait) {
  bool first = false;
  {
    std::lock_guard<std::mutex> lock(m_oMutex);
    first = m_bStarted && !m_bStopRequested;
  }
  if (first) InternalStop();
  if (wait) Join();
}

void CAlertableEventThread::InternalStop() {
  {
    std::lock_guard<std::mutex> lock(m_oMutex);
    if (m_bStopRequested) return;
    m_bStopRequested = true;
  }
  // Outside the lock: the hook may wait for work the thread is doing.
  if (m_fInterrupt) m_fInterrupt();
  m_oWake.notify_all();
}

bool CAlertableEventThread::WaitForStop(CTimeInterval interval) {
  std::unique_lock<std::mutex> lock(m_oMutex);
  if (!m_bStarted) return true;
  return m_oWake.wait_for(lock, std::chrono::milliseconds(interval.GetMilliseconds()), [this] { return m_bEnded; });
}

void CAlertableEventThread::Run() {
  OnStart();
  {
    std::lock_guard<std::mutex> lock(m_oMutex);
    m_bOnStartReturned = true;
  }
  m_oStarted.notify_all();
  while (!WaitForEvent()) OnTimeout();
  OnStop();
  OnCompletion();
  {
    std::lock_guard<std::mutex> lock(m_oMutex);
    m_bEnded = true;
  }
  m_oWake.notify_all();
}

bool CAlertableEventThread::WaitForEvent() {
  std::unique_lock<std::mutex> lock(m_oMutex);
  const auto timeout = std::chrono::milliseconds(m_oTimeout.GetMilliseconds() > 0 ? m_oTimeout.GetMilliseconds() : 1);
  return m_oWake.wait_for(lock, timeout, [this] { return m_bStopRequested; });
}

void CAlertableEventThread::SetTimeout(CTimeInterval interval) {
  std::lock_guard<std::mutex> lock(m_oMutex);
  m_oTimeout = interval;
}

void CAlertableEventThread::Join() {
  // Joined once, by whoever comes first, never by the thread itself; a
  // second stopper waits for the end all the same.
  std::thread thread;
  {
    std::unique_lock<std::mutex> lock(m_oMutex);
    if (m_oThread.get_id() == std::this_thread::get_id()) return;
    if (!m_oThread.joinable()) {
      m_oWake.wait(lock, [this] { return !m_bStarted || m_bEnded; });
      return;
    }
    thread.swap(m_oThread);
  }
  thread.join();
}
