#pragma once
// Network host names as the agent's configuration hands them out, mangled:
//
//   "<client name>*<network host>*<port>*<flags>"
//
// A name without '*' is a bare network host: it stands for the client name
// and the host alike, with port and flags 0. The network host is also the
// name of the host's folder in the simulated state, so it may not be empty,
// "." or "..", nor hold a "/".
#include <string>

// Splits a mangled name; 0 on success, -1 for a malformed name (the outputs
// are then left empty and 0). Failable as "DemangleHostName".
int DemangleHostName(const std::string& mangled, std::string& clientName, std::string& hostName, int& port, int& flags);

namespace platform {

std::string MangleHostName(const std::string& clientName, const std::string& hostName, int port = 0, int flags = 0);
// A host name that can name a folder of the simulated state.
bool IsUsableHostName(const std::string& hostName);
// DemangleHostName's split without its fault: false for a malformed name.
bool SplitMangledHostName(const std::string& mangled, std::string& clientName, std::string& hostName, int& port,
                          int& flags);

}  // namespace platform
