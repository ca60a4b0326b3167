#pragma once
// Injected failures of closed calls, for the failure branches of the library.
//
// A fault names a call ("KZPlatformInfo::getNumber", "KzBfDriver::getBitmap",
// ...) and carries a code, a mode ("error": the call fails with the code;
// "throw": the call throws KzException) and how many more calls it hits
// (-1: every call). Faults live in the state database so the harness can set
// them for another process; the table is cached and re-read only when the
// database changed, so an unfaulted call costs one cheap query.
#include <optional>
#include <string>
#include <vector>

#include "platform/error/qi_error.h"

namespace platform {

struct Fault {
  std::string call;
  int code = -1;
  bool raise = false;  // throw KzException instead of failing
  long long remaining = -1;
};

class FaultTable {
 public:
  // The fault for this call, consuming one hit of a counted fault.
  static std::optional<Fault> Check(const std::string& call);
  static void Set(const std::string& call, int code, bool raise = false, long long count = -1);
  static void Clear(const std::string& call);
  static void ClearAll();
  static std::vector<Fault> List();
};

// For facades that return CQiError: Success when no fault is set for the call,
// else the fault's error (errno kind) or a thrown KzException.
CQiError InjectedFault(const char* call, const FXCodeLocation& location);
// For facades with other results: true (code set) when the call must fail;
// throws KzException for a fault in "throw" mode.
bool InjectedFaultCode(const char* call, int& code);

}  // namespace platform
