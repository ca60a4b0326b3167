// The library's own identity, written to the log by the job command; keeps
// the library folder's object list non-empty before any entry point exists.
#include "library/library_info.h"

namespace blocklevel {

const char* LibraryVersion() { return "1.0"; }

}  // namespace blocklevel
