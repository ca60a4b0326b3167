#pragma once
// The framework's two logging forms.
//
// First form: an EvDebug object made on the stack:
//   EvDebug log; log.DebugLvl(__FUNCTION__, 3, "Volume=[%s]", vol);
// Second form: the shared writer g_ptrLogWriter, tested against its level
// before formatting anything:
//   KZLOG(3, "Volume=[%s]", vol);
// Levels: -1 for errors, 0..7 increasingly detailed.
#include <memory>

#include "platform/error/qi_error.h"

class EvDebug {
 public:
  EvDebug() = default;
  void DebugLvl(const char* function, int level, const char* format, ...) KZ_PRINTF_FORMAT(4, 5);
  void Debug(const char* function, const char* format, ...) KZ_PRINTF_FORMAT(3, 4);
  void Error(const char* function, const char* format, ...) KZ_PRINTF_FORMAT(3, 4);
  // Whether a line of this level would be written: lets callers skip
  // per-bit or per-extent work whose only purpose is a log line.
  static bool IsLevelEnabled(int level);
};

class CLogWriterInterface {
 public:
  virtual ~CLogWriterInterface() = default;
  virtual int GetLevel() const = 0;
  virtual void Write(int level, const char* function, int line, int reserved1, int reserved2, const char* format,
                     ...) KZ_PRINTF_FORMAT(7, 8) = 0;
};

extern std::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

#define KZLOG(level, ...)                                                                 \
  do {                                                                                    \
    if (g_ptrLogWriter && g_ptrLogWriter->GetLevel() >= (level))                          \
      g_ptrLogWriter->Write((level), __PRETTY_FUNCTION__, __LINE__, 0, 0, __VA_ARGS__);   \
  } while (0)

// Function-scope trace: logs entry and exit at level 7.
class KZDebugFunction {
 public:
  explicit KZDebugFunction(const char* function);
  ~KZDebugFunction();
  KZDebugFunction(const KZDebugFunction&) = delete;
  KZDebugFunction& operator=(const KZDebugFunction&) = delete;

 private:
  const char* m_szFunction;
};
