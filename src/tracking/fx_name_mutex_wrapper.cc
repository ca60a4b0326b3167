#include "tracking/fx_name_mutex_wrapper.h"

#include <new>

FxNameMutexWrapper::~FxNameMutexWrapper() {
  if (m_bHeld) m_pSemaphore->release(1);
}

CQiError FxNameMutexWrapper::Initialize() {
  try {
    m_pSemaphore = std::make_shared<KzNamedSemaphore>(kSemaphoreName, 1, nullptr, false);
  } catch (const KzException& exception) {
    EvDebug log;
    log.Error(__FUNCTION__, "Cannot open the semaphore [%s]: %s", kSemaphoreName, exception.getMessage());
    return FXErrorUtil::ErrorWin32(FXCODELOC, 774, "failed to allocate lock object");
  } catch (const std::bad_alloc&) {
    return FXErrorUtil::ErrorWin32(FXCODELOC, 774, "failed to allocate lock object");
  }
  return CQiError();
}

CQiError FxNameMutexWrapper::Lock() {
  if (!m_pSemaphore) return FXErrorUtil::ErrorWin32(FXCODELOC, 774, "failed to allocate lock object");
  if (m_bHeld) return CQiError();
  if (int error = m_pSemaphore->wait())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Failed to wait for the lock object [%s]", kSemaphoreName);
  m_bHeld = true;
  return CQiError();
}

namespace tracking {

LockedOperation::LockedOperation(const char* function) {
  if (EvDebug::IsLevelEnabled(2)) m_oTrace.emplace(function);
}

CQiError LockedOperation::Lock() {
  CQiError err = m_oLock.Initialize();
  if (!err.IsError()) err = m_oLock.Lock();
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to setup the lock object");
  return err;
}

}  // namespace tracking
