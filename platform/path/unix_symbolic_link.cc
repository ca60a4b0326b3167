#include "platform/path/unix_symbolic_link.h"

#include <climits>
#include <cstdlib>

#include "platform/sim/fault_table.h"

bool UnixSymbolicLink::getPhysicalPath(const std::string& path, std::string& physical, std::vector<std::string>& links,
                                       int, int) {
  links.clear();
  int code = 0;
  if (platform::InjectedFaultCode("UnixSymbolicLink::getPhysicalPath", code)) return false;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return false;
  physical = resolved;
  std::free(resolved);
  return true;
}
