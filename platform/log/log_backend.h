#pragma once
// Where log lines go. The default appends to the log file of the settings;
// tests install a capturing backend for a scope (platform::Backend).
#include <string>

#include "platform/base/backend.h"

namespace platform {

class LogBackend {
 public:
  virtual ~LogBackend() = default;
  // Highest level written: -1 (errors only) .. 7 (everything).
  virtual int Level() = 0;
  virtual void Write(int level, const char* function, int line, const std::string& text) = 0;

  static LogBackend& Default();
};

using Log = Backend<LogBackend>;

}  // namespace platform
