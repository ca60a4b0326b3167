#pragma once
// CAlertableEventThread: the platform's worker thread with an event wait.
//
// Start runs OnStart once on a new thread; the thread then waits for a stop,
// calling OnTimeout each time its time-out passes. Stop makes it run OnStop,
// always after OnStart has returned and on the thread itself, then
// OnCompletion, and end. Stop(true) also joins the thread. A stop first runs
// the interrupt hook (SetStopInterrupt) on the stopping thread, so that an
// OnStart blocked in a long piece of work can be broken off without waiting
// for it to finish.
//
// A repeated Stop, or one before Start, neither interrupts nor runs OnStop
// again; Stop(true) still joins a thread that is running down. A derived
// class stops its thread in its own destructor (Stop(true)): the base
// destructor only joins, since virtual calls no longer reach the derived
// class there.
//
// Fault: "CAlertableEventThread::Start" (Start answers false, no thread).
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/time/time_stamp.h"

class CAlertableEventThread {
 public:
  CAlertableEventThread() = default;
  virtual ~CAlertableEventThread();
  CAlertableEventThread(const CAlertableEventThread&) = delete;
  CAlertableEventThread& operator=(const CAlertableEventThread&) = delete;

  // Whether a thread was started; false for a second Start.
  virtual bool Start();
  // Start, returning once OnStart has returned.
  virtual bool StartSynchronously();
  virtual void Stop(bool wait);
  // Whether the thread ended within the interval (true when never started).
  virtual bool WaitForStop(CTimeInterval interval);
  // The thread's body: OnStart, the event wait, OnStop, OnCompletion.
  virtual void Run();
  // Waits for a stop or the time-out; true when stopped.
  virtual bool WaitForEvent();
  virtual void OnStart() {}
  virtual void OnRun() {}
  virtual void OnStop() {}
  virtual void OnEvent() {}
  virtual void OnCompletion() {}
  virtual void OnTimeout() {}
  virtual void OnAbandoned() {}
  virtual void SetTimeout(CTimeInterval interval);
  // Marks the stop and wakes the thread; the hook runs first.
  virtual void InternalStop();

 protected:
  // Runs on the stopping thread, once, before the thread is woken.
  void SetStopInterrupt(std::function<void()> hook) { m_fInterrupt = std::move(hook); }
  void Join();

 private:
  std::mutex m_oMutex;
  std::condition_variable m_oWake;
  std::condition_variable m_oStarted;
  std::thread m_oThread;
  std::function<void()> m_fInterrupt;
  CTimeInterval m_oTimeout = CTimeInterval::FromSeconds(30);
  bool m_bStarted = false;
  bool m_bStopRequested = false;
  bool m_bOnStartReturned = false;
  bool m_bEnded = false;
};
