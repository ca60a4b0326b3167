#pragma once
// CQiError: the result value of every operation that can fail.
//
// The code is negative for an error, 0 for success; positive codes are no
// error. A failure made by FXErrorUtil remembers the code it was made with
// (an errno or a Windows-style code, both kept as given) in its detail, and
// stores its negation (or the code itself when already negative) as the
// result code, so IsError() holds for every failure. Read the original code
// back with FXErrorUtil::GetCode / GetErrNo / GetWin32, or test it with
// IsErrNo / IsWin32.
//
// The detail is an immutable chain of frames (location and message). Copies
// share it; Push prepends a new frame to this copy only, so a pushed copy never
// changes what another copy reports.
#include <memory>
#include <string>

#include "platform/error/code_location.h"

#define KZ_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

class CQiError {
 public:
  enum class Kind { kNone, kErrNo, kWin32 };

  CQiError() = default;

  CQiError& Success();
  bool IsError() const { return m_nCode < 0; }
  int GetErrorCode() const { return m_nCode; }

  CQiError& Push(const FXCodeLocation& location);
  CQiError& Push(const FXCodeLocation& location, const char* format, ...) KZ_PRINTF_FORMAT(3, 4);

  // The whole chain, from the origin of the failure to the last caller.
  std::string AsString() const;
  // The message of the frame where the failure was made ("" when none).
  std::string GetMessage() const;
  // The first message on the way from that frame to the last caller: the
  // origin's, or the nearest caller's that said something ("" when none).
  std::string FirstMessage() const;

  Kind GetKind() const;
  long long GetOriginalCode() const;

  // Used by FXErrorUtil; not for callers.
  static CQiError Make(Kind kind, long long code, const FXCodeLocation& location, std::string message);

 private:
  struct Frame;
  int m_nCode = 0;
  std::shared_ptr<const Frame> m_pDetail;
};

class FXErrorUtil {
 public:
  // A code of 0 would read as success: it becomes -1.
  static CQiError ErrorErrNo(const FXCodeLocation& location, int code);
  static CQiError ErrorErrNo(const FXCodeLocation& location, int code, const char* format, ...)
      KZ_PRINTF_FORMAT(3, 4);
  static CQiError ErrorWin32(const FXCodeLocation& location, unsigned code);
  static CQiError ErrorWin32(const FXCodeLocation& location, unsigned code, const char* format, ...)
      KZ_PRINTF_FORMAT(3, 4);
  // An error that carries an agent event message (event id and its text).
  static CQiError ErrorEventMessage(const FXCodeLocation& location, unsigned eventId, const char* format, ...)
      KZ_PRINTF_FORMAT(3, 4);
  // The errno of the last failed call, never 0 (-1 then): for stream
  // failures that do not always set errno.
  static CQiError ErrorFromErrno(const FXCodeLocation& location, const char* format, ...) KZ_PRINTF_FORMAT(2, 3);

  static bool IsErrNo(const CQiError& error);
  static bool IsErrNo(const CQiError& error, int code);
  static bool IsWin32(const CQiError& error);
  static bool IsWin32(const CQiError& error, unsigned code);
  static int GetErrNo(const CQiError& error);
  static unsigned GetWin32(const CQiError& error);
  // The code the failure was made with, whatever its kind; 0 on success.
  static long long GetCode(const CQiError& error);
};

// The framework's exception. Only the attached-volume list's constructor and
// the driver client throw it; it never crosses an exported entry point.
class KzException {
 public:
  KzException(std::string message, std::string function, std::string file, int line, int code = -1)
      : m_sMessage(std::move(message)),
        m_sFunction(std::move(function)),
        m_sFile(std::move(file)),
        m_nLine(line),
        m_nCode(code) {}
  const char* getMessage() const { return m_sMessage.c_str(); }
  const std::string& getFunction() const { return m_sFunction; }
  const std::string& getFile() const { return m_sFile; }
  int getLine() const { return m_nLine; }
  int getCode() const { return m_nCode; }

 private:
  std::string m_sMessage;
  std::string m_sFunction;
  std::string m_sFile;
  int m_nLine;
  int m_nCode;
};

#define KZ_THROW(message) throw KzException((message), __PRETTY_FUNCTION__, __FILE__, __LINE__, -1)
