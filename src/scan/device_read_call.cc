#include "scan/device_read_call.h"

#include <unistd.h>

#include <atomic>

namespace scan {
namespace {

std::atomic<PreadCall> g_call{nullptr};

}  // namespace

ssize_t DevicePread(int fd, void* buffer, size_t count, off64_t offset) {
  const PreadCall call = g_call.load(std::memory_order_relaxed);
  return call != nullptr ? call(fd, buffer, count, offset) : ::pread64(fd, buffer, count, offset);
}

ScopedPreadCall::ScopedPreadCall(PreadCall call) : m_pPrevious(g_call.exchange(call)) {}

ScopedPreadCall::~ScopedPreadCall() { g_call.store(m_pPrevious); }

}  // namespace scan
