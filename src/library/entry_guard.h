#pragma once
// Keeps exceptions from crossing an exported entry point into the agent.
//
//   extern "C" CQiError SomeEntryPoint(...) {
//     return GuardEntryPoint(__FUNCTION__, [&] { return DoTheWork(...); });
//   }
//
// A KzException becomes a failure carrying its message; anything else (out of
// memory included) becomes a failure with a generic message. Logging the
// exception or making the failure may throw in turn (memory exhausted): then
// a failure made when the library was loaded comes back instead.
#include <exception>
#include <new>

#include "platform/error/qi_error.h"
#include "platform/log/ev_debug.h"

namespace blocklevel {

// "Out of memory" (errno 14), made before any entry point runs: copying it
// allocates nothing.
const CQiError& PremadeOutOfMemory() noexcept;

// The failure for the exception being handled, logged under the entry's name.
inline CQiError FailureOfCurrentException(const char* entry) noexcept {
  try {
    EvDebug log;
    try {
      throw;
    } catch (const KzException& e) {
      log.Error(entry, "KzException: %s", e.getMessage());
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "%s", e.getMessage());
    } catch (const std::bad_alloc&) {
      log.Error(entry, "Out of memory");
      return FXErrorUtil::ErrorErrNo(FXCODELOC, 14, "Out of memory");
    } catch (const std::exception& e) {
      log.Error(entry, "Exception: %s", e.what());
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "%s", e.what());
    } catch (...) {
      log.Error(entry, "Unknown exception");
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Unknown exception");
    }
  } catch (...) {
    return PremadeOutOfMemory();
  }
}

template <class Body>
CQiError GuardEntryPoint(const char* entry, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return FailureOfCurrentException(entry);
  }
}

// Logs an entry point's own error line; a log that throws loses the line.
inline void LogEntryError(const char* entry, const char* text) noexcept {
  try {
    EvDebug log;
    log.Error(entry, "%s", text);
  } catch (...) {
  }
}

// For entry points that return an object or a value: the fallback on failure.
// The fallback is given by value, so handing it back cannot throw. An entry
// point with a line of its own for an exception that ends it gives the line
// as caughtLine: it is logged after the exception's.
template <class Result, class Body>
Result GuardEntryPointValue(const char* entry, Result fallback, Body&& body,
                            const char* caughtLine = nullptr) noexcept {
  try {
    return body();
  } catch (...) {
    FailureOfCurrentException(entry);
    if (caughtLine != nullptr) LogEntryError(entry, caughtLine);
  }
  return fallback;
}

}  // namespace blocklevel
