#pragma once
// Injected failures of closed calls, for the failure branches of the library.
//
// A fault names a call ("KZPlatformInfo::getNumber", "KzBfDriver::getBitmap",
// ...; the names are listed in fault_names.cc) and carries a code, a mode
// ("error": the call fails with the code; "throw": the call throws
// KzException; "delay": the call waits the code's milliseconds of real time,
// never scaled by the sleep factor, and then runs as usual) and how many more
// calls it hits (-1: every call). Faults live in the state database so the
// harness can set them for another process. A delay lets a test hold one
// process inside a locked operation while another one starts.
//
// Failable calls sit on per-entry paths, so an unfaulted check must cost
// next to nothing: each thread keeps its own copy of the table and looks at
// the database again only when this process changed a fault or its state
// directory (Settings::SetStateDir), when any process changed a fault of the
// directory (its shared generation, FaultGeneration), or at most once every
// kLookIntervalMs. A fault set by any process therefore takes effect at once;
// where the shared generation cannot be mapped, another process's within
// that interval. An unfaulted check reads neither the environment, nor a
// clock (but once every few hundred calls), nor the database. A database
// that cannot be opened holds no fault.
#include <optional>
#include <string>
#include <vector>

#include "platform/error/qi_error.h"

namespace platform {

enum class FaultMode { kError, kThrow, kDelay };

// "error", "throw", "delay"; ParseFaultMode gives nothing for another text.
const char* FaultModeName(FaultMode mode);
std::optional<FaultMode> ParseFaultMode(const std::string& text);

struct Fault {
  std::string call;
  int code = -1;  // the milliseconds of a delay
  FaultMode mode = FaultMode::kError;
  long long remaining = -1;
};

class FaultTable {
 public:
  static constexpr long long kLookIntervalMs = 100;

  // The fault for this call, consuming one hit of a counted fault.
  static std::optional<Fault> Check(const char* call);
  // Throws std::invalid_argument for a name that no facade checks.
  static void Set(const std::string& call, int code, FaultMode mode, long long count = -1);
  static void Set(const std::string& call, int code, bool raise = false, long long count = -1) {
    Set(call, code, raise ? FaultMode::kThrow : FaultMode::kError, count);
  }
  static void Clear(const std::string& call);
  static void ClearAll();
  // Throws StateDbError when the table cannot be read.
  static std::vector<Fault> List();
};

// For facades that return CQiError: Success when no fault is set for the call
// (or after a delay), else the fault's error (errno kind) or a thrown
// KzException. The call's name is a literal at every call site, and listed in
// fault_names.cc.
CQiError InjectedFault(const char* call, const FXCodeLocation& location);
// For facades with other results: true (code set) when the call must fail;
// throws KzException for a fault in "throw" mode; waits, then false, for a
// delay.
bool InjectedFaultCode(const char* call, int& code);

}  // namespace platform
