#include "platform/sync/critical_section.h"

#include <pthread.h>

void FXLockableResource::SetLockOwner() {
  m_nOwner = static_cast<unsigned>(reinterpret_cast<uintptr_t>(reinterpret_cast<void*>(pthread_self())));
}

bool FXCriticalSection::TryLock() {
  try {
    if (!m_oMutex.try_lock()) return false;
  } catch (...) {
    return false;
  }
  SetLockOwner();
  return true;
}

void FXCriticalSection::Lock() {
  try {
    m_oMutex.lock();
  } catch (...) {
    return;  // without the lock and without an owner, as the framework does
  }
  SetLockOwner();
}

void FXCriticalSection::Unlock() {
  ClearLockOwner();
  try {
    m_oMutex.unlock();
  } catch (...) {
  }
}
