// The system-state view's upload for a synthetic full needs the index-info
// store. Until it is built it fails (Windows-style 50, not supported) rather
// than let a job that needs it pass as complete.
#include "pseudosnap/pseudo_snap_handler_private.h"

namespace {

constexpr unsigned kNotSupported = 50;

CQiError NotYetSupported(const FXCodeLocation& location, const char* step) {
  return FXErrorUtil::ErrorWin32(location, kNotSupported, "%s is not supported by this build", step);
}

}  // namespace

CQiError CPseudoSnapArchiveHandlerPrivate::UploadSysViewIndexFiles() {
  return NotYetSupported(FXCODELOC, "UploadSysViewIndexFiles");
}
