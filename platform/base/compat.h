#pragma once
// Small portability helpers of the framework.
#include <pthread.h>

#include <cerrno>
#include <cstring>

inline int GetLastError() { return errno; }
inline pthread_t GetCurrentThreadId() { return pthread_self(); }

inline int Safe_strcmp(const char* a, const char* b) {
  if (a == nullptr) a = "";
  if (b == nullptr) b = "";
  return std::strcmp(a, b);
}

// Identity conversions that match "%llu", "%lld" and "%lu" exactly.
namespace kzcast {
template <class T>
unsigned long long llu(T value) { return static_cast<unsigned long long>(value); }
template <class T>
long long lld(T value) { return static_cast<long long>(value); }
template <class T>
unsigned long lu(T value) { return static_cast<unsigned long>(value); }
}  // namespace kzcast
