#pragma once
// The driver hook of a device: an empty marker file "<device id>.hook" in the
// driver cache folder, present while a cleared driver bitmap of the device is
// being distributed to the subclients' caches. One still present when the
// next operation starts tells that the earlier one ended half-way.
#include <string>

#include "platform/error/qi_error.h"

class CDriverCache {
 public:
  explicit CDriverCache(const std::string& folder) : m_sFolder(folder) {}

  // existed: the hook was already there (then it is left untouched);
  // otherwise it is created.
  CQiError CreateHook(const std::string& deviceId, bool& existed);
  CQiError DeleteHook(const std::string& deviceId);
  const std::string& Folder() const { return m_sFolder; }

 private:
  std::string m_sFolder;
};

namespace tracking {

// A device id names files inside a cache folder; one that could reach
// outside it (empty, ".", "..", holding '/') is refused with 774.
CQiError CheckDeviceIdForFileName(const std::string& deviceId);
// Creates an empty marker file unless present; existed tells which.
CQiError CreateHookFile(const std::string& path, bool& existed);

}  // namespace tracking
