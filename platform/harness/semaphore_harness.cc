#include "platform/harness/semaphore_harness.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/error/qi_error.h"
#include "platform/semaphore/kz_named_semaphore.h"

namespace blbsim {

int HoldSemaphore(const std::string& name, int seconds, const std::function<void()>& held) {
  try {
    KzNamedSemaphore semaphore(name, 1, nullptr, false);
    if (int error = semaphore.wait()) return error;
    held();
    if (seconds < 0)
      for (;;) ::pause();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    semaphore.release(1);
    return 0;
  } catch (const KzException& exception) {
    return exception.getCode() > 0 ? exception.getCode() : EIO;
  }
}

}  // namespace blbsim
