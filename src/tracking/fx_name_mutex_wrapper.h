#pragma once
// The machine-wide lock of the shared-device bitmap handler: the named
// semaphore "BlockLvlContentCheck" (count 1), which every process of the
// machine takes around each operation that reads or changes the
// monitored-volume list, the subclient caches or a driver bitmap.
#include <memory>
#include <optional>

#include "platform/error/qi_error.h"
#include "platform/log/ev_debug.h"
#include "platform/semaphore/kz_named_semaphore.h"

class FxNameMutexWrapper {
 public:
  static constexpr const char* kSemaphoreName = "BlockLvlContentCheck";

  FxNameMutexWrapper() = default;
  // Gives the semaphore back when this wrapper took it.
  virtual ~FxNameMutexWrapper();
  FxNameMutexWrapper(const FxNameMutexWrapper&) = delete;
  FxNameMutexWrapper& operator=(const FxNameMutexWrapper&) = delete;

  // Opens (or makes) the semaphore; 774 "failed to allocate lock object"
  // when it cannot be had.
  CQiError Initialize();
  // Waits for the semaphore without a time-out. A wait that fails is
  // returned: the caller must not go on unlocked.
  CQiError Lock();

 private:
  std::shared_ptr<KzNamedSemaphore> m_pSemaphore;
  bool m_bHeld = false;  // only a semaphore actually taken is given back
};

namespace tracking {

// How every locked operation of the handler begins: its entry and exit traced
// when the log level is 2 or more, then the machine-wide lock, held until the
// object goes (on every path out of the operation).
class LockedOperation {
 public:
  explicit LockedOperation(const char* function);
  // Sets up and takes the lock; a failure carries "Failed to setup the lock
  // object".
  CQiError Lock();

 private:
  std::optional<KZDebugFunction> m_oTrace;
  FxNameMutexWrapper m_oLock;
};

}  // namespace tracking
