#pragma once
// Keeps exceptions from crossing an exported entry point into the agent.
//
//   extern "C" CQiError SomeEntryPoint(...) {
//     return GuardEntryPoint(__FUNCTION__, [&] { return DoTheWork(...); });
//   }
//
// A KzException becomes a failure carrying its message; anything else (out of
// memory included) becomes a failure with a generic message.
#include <exception>
#include <new>

#include "platform/error/qi_error.h"
#include "platform/log/ev_debug.h"

namespace blocklevel {

template <class Body>
CQiError GuardEntryPoint(const char* entry, Body&& body) {
  EvDebug log;
  try {
    return body();
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
}

// For entry points that return an object or a value: the fallback on failure.
template <class Result, class Body>
Result GuardEntryPointValue(const char* entry, Result fallback, Body&& body) {
  EvDebug log;
  try {
    return body();
  } catch (const KzException& e) {
    log.Error(entry, "KzException: %s", e.getMessage());
  } catch (const std::exception& e) {
    log.Error(entry, "Exception: %s", e.what());
  } catch (...) {
    log.Error(entry, "Unknown exception");
  }
  return fallback;
}

}  // namespace blocklevel
