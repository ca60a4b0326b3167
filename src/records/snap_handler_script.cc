// The agent's snapshot handler script, run for the caller with the job's id.
#include <cstring>
#include <exception>

#include "platform/log/ev_debug.h"
#include "platform/process/kz_process.h"
#include "platform/process/shell_quote.h"
#include "platform/registry/kz_platform_info.h"
#include "platform/text/fx_string.h"
#include "records/device_queries.h"

namespace {

constexpr const char* kScriptName = "ImgUxaSnapHandler.sh";
// The handler is given this long to finish; one still running afterwards is
// left to itself and counts as started.
constexpr int kWaitSeconds = 10;
// Exit statuses of a shell that could not run its command: found but not
// executable, not found.
constexpr int kShellCannotExecute = 126;
constexpr int kShellNotFound = 127;

}  // namespace

bool FireUserGivenScript(std::string first, std::string second, uint64_t jobId) {
  EvDebug log;
  try {
    std::string home;
    if (KZPlatformInfo::getString("Base", "dTARVOSHOME", home) == 0) {
      log.Error(__FUNCTION__, "Failed to retrieve KZPI_TARVOSHOME from the KZPI_BASE registry");
      return false;
    }
    const std::string script = home + "/Base/" + kScriptName;
    // The path is one word whatever the installation directory holds (blanks,
    // shell syntax); the caller's texts go on the command line as they are.
    const std::string commandLine = platform::ShellQuote(script) + second + first +
                                    FXString::Format(" -jobid %llu", static_cast<unsigned long long>(jobId));
    log.DebugLvl(__FUNCTION__, 1, "Running [%s]", commandLine.c_str());

    KzProcess process;
    char error[1024] = {};
    if (!process.StartProcess(script.c_str(), commandLine.c_str(), error, sizeof error, 0)) {
      // Nothing was started: there is nothing to wait for.
      log.Error(__FUNCTION__, "Could not execute the script:%s", error);
      return false;
    }
    const int ended = process.WaitForProcessToEnd(kWaitSeconds, error, sizeof error);
    if (ended == 1 && (process.getExitCode() == kShellCannotExecute || process.getExitCode() == kShellNotFound)) {
      // The shell's own answer: the script never ran.
      log.Error(__FUNCTION__, "Could not execute the script: [%s] ended with status %d", script.c_str(),
                process.getExitCode());
      return false;
    }
    if (ended == 1) {
      log.DebugLvl(__FUNCTION__, 1, "Script [%s] ended with status %d", script.c_str(), process.getExitCode());
      return true;
    }
    if (std::strcmp(error, KzProcess::kTimedOut) == 0) {
      log.DebugLvl(__FUNCTION__, 1, "Script [%s] is still running; not waiting for it", script.c_str());
      return true;
    }
    log.Error(__FUNCTION__, "Waiting for the scrip to die failed:%s", error);
    return false;
  } catch (const KzException& e) {
    log.Error(__FUNCTION__, "KzException: %s", e.getMessage());
  } catch (const std::exception& e) {
    log.Error(__FUNCTION__, "Exception: %s", e.what());
  }
  return false;
}
