#pragma once
// The last mark of a device whose next backup must be full: an empty file
// "<name>.full" in the runtime folder, outside the state directory. A cluster
// start makes it for a volume that nothing in the state directory could mark
// (that file system read-only, full or failing: no driver hook, no dirty flag
// in the list) and that this node's driver still tracks. The next bitmap step
// of the device finds it and makes every cache of the device full, as a
// driver hook left over does, and removes it once its own driver hooks, on
// disk since before the driver was touched, carry that decision.
//
// The folder is the registry's "FileSystemAgent"/"sBlockLevelRuntimeDir",
// else /run/blocklevel: a memory file system of its own, writable when the
// state directory's is not. It does not outlive a reboot, while a driver may
// keep its tracking across one (the simulated driver does): where a reboot
// can come between the start and the next backup, the setting names a folder
// of a file system that a reboot keeps and that is not the state directory's.
// The registry lives in the state directory, so its read fails exactly when
// the last mark is needed: a read that failed leaves the folder unknown, and
// is never taken for the setting not set. No mark is then made (the next
// bitmap step may look elsewhere), and every mark counts as there.
//
// A mark in /run/blocklevel while another folder is set was made while the
// setting was not set, or by a start that took an unreadable setting for
// none: it is honoured and removed like one in the set folder, by the
// volume it names, rather than left for whichever volume later comes to
// that name.
//
// A mark is named by the volume key (the device id its bitmap step is given)
// or, for a volume known by its device only, by NameOfDevice.
#include <set>
#include <string>
#include <vector>

#include "platform/error/qi_error.h"

namespace tracking {

class RuntimeFullMarks {
 public:
  static constexpr const char* kDefaultFolder = "/run/blocklevel";

  RuntimeFullMarks();

  // Empty when the setting could not be read.
  const std::string& Folder() const { return m_sFolder; }
  static std::string NameOfDevice(const std::string& device);

  // Makes the marks and syncs the folder: made gets the names whose mark is
  // there once it returns, also when others failed. None is made where the
  // folder is unknown.
  CQiError Make(const std::set<std::string>& names, std::set<std::string>& made) const;
  // The names whose mark is there. One that cannot be looked at counts as
  // there, and so does every one when the folder is unknown: a full backup
  // too many is the safe side.
  std::set<std::string> Find(const std::set<std::string>& names) const;
  // Failures are logged: a mark left makes one more full backup. Nothing is
  // removed where the folder is unknown.
  void Remove(const std::set<std::string>& names) const;

 private:
  // The folder, and the default one where another is set.
  std::vector<std::string> Folders() const;

  std::string m_sFolder;
};

}  // namespace tracking
