#pragma once
// The one rule that locates the driver cache folder: the folder of the
// monitored-volume list, the driver hooks, the driverless device records and
// the KZBF snapshot files.
//
// The rest of the Unix device-configuration handler belongs to the
// device-configuration subsystem; only this static lives with the tracking
// code that every caller of it already uses.
#include <string>

class KzDeviceConfigHandler_UNIX {
 public:
  // "FileSystemAgent"/"sKZBFSNAPPART" when set to a non-empty value, else the
  // product directory followed by "/KZBF/cache".
  static void GetDriverCacheFolder(std::string& folder);
};
