#pragma once
// Recursive in-process lock behind the framework's lockable interface, and
// its scope guard.
#include <boost/interprocess/sync/interprocess_recursive_mutex.hpp>

#include "platform/time/time_stamp.h"

class FXLockableResource {
 public:
  FXLockableResource() = default;
  virtual ~FXLockableResource() = default;
  virtual bool TryLock() = 0;
  // One attempt; the interval is not waited.
  virtual bool TryLock(CTimeInterval) { return TryLock(); }
  virtual void Lock() = 0;
  virtual void Unlock() = 0;

  // Informative only: nothing tests it.
  unsigned GetLockOwner() const { return m_nOwner; }

 protected:
  void SetLockOwner();
  void ClearLockOwner() { m_nOwner = 0; }

 private:
  unsigned m_nOwner = 0;
};

class FXCriticalSection : public FXLockableResource {
 public:
  FXCriticalSection() = default;
  ~FXCriticalSection() override = default;
  bool TryLock() override;
  bool TryLock(CTimeInterval) override { return TryLock(); }
  void Lock() override;
  void Unlock() override;

 private:
  boost::interprocess::interprocess_recursive_mutex m_oMutex;
};

class auto_lock {
 public:
  explicit auto_lock(FXLockableResource* resource, bool lockNow = true) : m_pResource(resource) {
    if (lockNow) Lock();
  }
  explicit auto_lock(FXLockableResource& resource, bool lockNow = true) : auto_lock(&resource, lockNow) {}
  ~auto_lock() { Unlock(); }
  auto_lock(const auto_lock&) = delete;
  auto_lock& operator=(const auto_lock&) = delete;

  void Lock() {
    if (m_pResource != nullptr && !m_bLocked) {
      m_pResource->Lock();
      m_bLocked = true;
    }
  }
  void Unlock() {
    if (m_pResource != nullptr && m_bLocked) {
      m_pResource->Unlock();
      m_bLocked = false;
    }
  }
  bool IsLocked() const { return m_bLocked; }

 private:
  FXLockableResource* m_pResource;
  bool m_bLocked = false;
};
