// Steps of the pseudo-snap job that belong to the synthetic full. Until
// they are built they fail (Windows-style 50, not supported) rather than let a
// job that needs them pass as complete.
#include "pseudosnap/pseudo_snap_handler_private.h"

namespace {

constexpr unsigned kNotSupported = 50;

CQiError NotYetSupported(const FXCodeLocation& location, const char* step) {
  return FXErrorUtil::ErrorWin32(location, kNotSupported, "%s is not supported by this build", step);
}

}  // namespace

CQiError CPseudoSnapArchiveHandlerPrivate::InitializeSynthfull() {
  return NotYetSupported(FXCODELOC, "InitializeSynthfull");
}

CQiError CPseudoSnapArchiveHandlerPrivate::PopulateSynthFullIndex() {
  return NotYetSupported(FXCODELOC, "PopulateSynthFullIndex");
}

CQiError CPseudoSnapArchiveHandlerPrivate::UpdateSynthFullBackupInfo() {
  return NotYetSupported(FXCODELOC, "UpdateSynthFullBackupInfo");
}
