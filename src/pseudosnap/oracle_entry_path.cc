#include "pseudosnap/oracle_entry_path.h"

#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"

std::string GetOraEntryParentPath(const std::string& path) {
  EvDebug log;
  char delimiter = '/';
  if (path.find('/') == std::string::npos) {
    if (path.find('\\') == std::string::npos) {
      log.DebugLvl(__FUNCTION__, 7, "input path =[%s] has no valid delimeter detected", path.c_str());
      return std::string();
    }
    delimiter = '\\';
  }
  const size_t p = path.find(delimiter);
  const size_t q = path.find(delimiter, p + 1);
  if (q == std::string::npos) return std::string();
  const size_t r = path.find(delimiter, q + 1);
  if (r == std::string::npos) return std::string();
  const std::string first = path.substr(p + 1, q - p - 1);
  std::string second = path.substr(q + 1, r - q - 1);
  if (trim_both(second).empty()) return std::string();
  std::string parent;
  parent += delimiter;
  parent += first;
  parent += delimiter;
  parent += second;
  parent += delimiter;
  log.DebugLvl(__FUNCTION__, 7, "returnPath=[%s]", parent.c_str());
  return parent;
}
