#include "platform/log/ev_debug.h"

#include <cstdarg>

#include "platform/log/log_backend.h"
#include "platform/text/format.h"

namespace {

void WriteV(int level, const char* function, int line, const char* format, va_list args) {
  platform::LogBackend& log = platform::Log::Current();
  if (log.Level() < level) return;
  log.Write(level, function, line, platform::VFormat(format, args));
}

class LogWriter : public CLogWriterInterface {
 public:
  int GetLevel() const override { return platform::Log::Current().Level(); }
  void Write(int level, const char* function, int line, int, int, const char* format, ...) override {
    va_list args;
    va_start(args, format);
    WriteV(level, function, line, format, args);
    va_end(args);
  }
};

}  // namespace

std::shared_ptr<CLogWriterInterface> g_ptrLogWriter = std::make_shared<LogWriter>();

bool EvDebug::IsLevelEnabled(int level) { return platform::Log::Current().Level() >= level; }

void EvDebug::DebugLvl(const char* function, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteV(level, function, 0, format, args);
  va_end(args);
}

void EvDebug::Debug(const char* function, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteV(1, function, 0, format, args);
  va_end(args);
}

void EvDebug::Error(const char* function, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteV(-1, function, 0, format, args);
  va_end(args);
}

KZDebugFunction::KZDebugFunction(const char* function) : m_szFunction(function) {
  KZLOG(7, "Entering %s", m_szFunction);
}

KZDebugFunction::~KZDebugFunction() { KZLOG(7, "Leaving %s", m_szFunction); }
