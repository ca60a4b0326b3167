#include "library/entry_guard.h"

namespace blocklevel {
namespace {

// Made while the library loads, when memory is there to make it.
const CQiError kOutOfMemory = FXErrorUtil::ErrorErrNo(FXCODELOC, 14, "Out of memory");

}  // namespace

const CQiError& PremadeOutOfMemory() noexcept {
  return kOutOfMemory;
}

}  // namespace blocklevel
