#pragma once
// The CXBF control device as the library reaches it: open, ioctl and close of
// "/dev/cxbf/ctrl", with POSIX results (-1 and errno on failure). No such
// device exists here; the default backend is the simulated driver, and a
// test may install its own to see the very requests and records:
//   platform::CxbfControl::Scope use(recorder);
#include <string>

#include "platform/base/backend.h"

namespace platform {

class CxbfControlBackend {
 public:
  virtual ~CxbfControlBackend() = default;
  virtual int Open(const std::string& path, int flags) = 0;
  virtual int Ioctl(int fd, unsigned long request, void* argument) = 0;
  virtual int Close(int fd) = 0;

  static CxbfControlBackend& Default();
};

using CxbfControl = Backend<CxbfControlBackend>;

inline int CxbfOpen(const std::string& path, int flags) { return CxbfControl::Current().Open(path, flags); }
inline int CxbfIoctl(int fd, unsigned long request, void* argument) {
  return CxbfControl::Current().Ioctl(fd, request, argument);
}
inline int CxbfClose(int fd) { return CxbfControl::Current().Close(fd); }

}  // namespace platform
