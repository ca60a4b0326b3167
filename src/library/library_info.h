#pragma once

namespace blocklevel {

const char* LibraryVersion();

}  // namespace blocklevel
