#pragma once
// KzMntTab: the machine's mount table.
//
// The real table of this process (/proc/self/mounts, octal escapes such as
// "\040" decoded), followed by the entries the harness injected into the
// state database ("mounts" table, blbsim mnt add), which is how a test
// stands for a mounted snapshot without mounting one. The harness can switch
// the real part off (blbsim mnt real off) so a test sees only its own entries.
//
// Fault: "KzMntTab::getAll" (returns the fault's code); find only looks
// through what getAll gave.
#include <cstdint>
#include <list>
#include <string>

#include "platform/error/qi_error.h"
#include "platform/sim/state_db_failure.h"

class KzMntTab {
 public:
  struct Entry {
    std::string m_sDevice;      // what is mounted: a device path, a dataset, "tmpfs", ...
    std::string m_sMountPoint;  // where
    std::string m_sOptions;
    std::string m_sFsType;
    uint64_t m_nDumpPass = 0;  // dump frequency (high 32 bits) and fsck pass (low 32 bits)
    // The destructor releases the four texts.
  };

  // Replaces the list with the mount table, in table order.
  static CQiError getAll(std::list<Entry>& entries);
  // The entry mounted at exactly this path in a table getAll gave, or null.
  // Of two mounts on one path the later one is what the path shows.
  static const Entry* find(const std::list<Entry>& entries, const std::string& path);
};

namespace platform {

// The harness's side of the injected entries.
bool AddMountEntry(const KzMntTab::Entry& entry);
bool ClearMountEntries();
// Whether getAll starts with the real table (on unless switched off); done,
// or why the setting could not be read.
bool SetRealMountTable(bool on);
StateDbResult IsRealMountTableOn(bool& on);

// A path field of the kernel's mount tables, which write blanks, tabs, line
// ends and backslashes as "\ooo".
std::string DecodeMountField(const std::string& field);
// One line of /proc/self/mounts; false for a line of fewer than four fields.
bool ParseMountLine(const std::string& line, KzMntTab::Entry& entry);

}  // namespace platform
