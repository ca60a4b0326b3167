#include "platform/services/host_name.h"

#include <cerrno>
#include <cstdlib>

#include "platform/sim/fault_table.h"
#include "platform/text/fx_string.h"

namespace platform {

std::string MangleHostName(const std::string& clientName, const std::string& hostName, int port, int flags) {
  return clientName + "*" + hostName + "*" + std::to_string(port) + "*" + std::to_string(flags);
}

bool IsUsableHostName(const std::string& hostName) {
  return !hostName.empty() && hostName != "." && hostName != ".." && hostName.find('/') == std::string::npos &&
         hostName.find('*') == std::string::npos;
}

namespace {

bool ParseInt(const std::string& text, int& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < -2147483647L - 1 || parsed > 2147483647L) return false;
  value = static_cast<int>(parsed);
  return true;
}

}  // namespace

bool SplitMangledHostName(const std::string& mangled, std::string& clientName, std::string& hostName, int& port,
                          int& flags) {
  std::vector<FXString> fields = FXString::Split(mangled, '*');
  std::string client, host;
  int parsedPort = 0, parsedFlags = 0;
  if (fields.size() == 1) {
    client = host = mangled;
  } else if (fields.size() == 4) {
    client = fields[0];
    host = fields[1];
    if (!ParseInt(fields[2], parsedPort) || !ParseInt(fields[3], parsedFlags)) return false;
  } else {
    return false;
  }
  if (!IsUsableHostName(host)) return false;
  clientName = client;
  hostName = host;
  port = parsedPort;
  flags = parsedFlags;
  return true;
}

}  // namespace platform

int DemangleHostName(const std::string& mangled, std::string& clientName, std::string& hostName, int& port,
                     int& flags) {
  clientName.clear();
  hostName.clear();
  port = 0;
  flags = 0;
  int code = 0;
  if (platform::InjectedFaultCode("DemangleHostName", code)) return -1;
  return platform::SplitMangledHostName(mangled, clientName, hostName, port, flags) ? 0 : -1;
}
