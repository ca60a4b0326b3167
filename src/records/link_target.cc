#include "records/link_target.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/log/ev_debug.h"
#include "platform/path/qi_path.h"

CQiError ReadLinkTargetOneLevel(const std::string& path, std::string& resolved) {
  EvDebug log;
  char target[4096] = {};
  if (::readlink(path.c_str(), target, sizeof(target) - 1) < 0) {
    const int saved = errno;
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "failed to read link for path=%s, error=%s", path.c_str(),
                                   std::strerror(saved));
  }
  log.DebugLvl(__FUNCTION__, 0, "read link returned=%s for path=%s", target, path.c_str());
  const CQiPath absolute =
      target[0] == '/' ? CQiPath(target).AbsPath() : CQiPath::Append(CQiPath(path).GetParent(), target).AbsPath();
  resolved = absolute.GetPath();
  log.DebugLvl(__FUNCTION__, 0, "resolved device path as = %s", resolved.c_str());
  return CQiError();
}
