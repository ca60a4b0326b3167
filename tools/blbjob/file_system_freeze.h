#pragma once
// The kernel's freeze of a file system, asked through a descriptor of any
// folder of it. System calls only: the freeze holder's forked child calls
// them too.
namespace blbjob {

enum class ThawResult {
  kThawed,
  kNotFrozen,  // nothing held it frozen (EINVAL): thawed by somebody else, or never frozen
  kFailed,     // errno set; it may still be frozen
};

// Freezes; false with errno set (EBUSY: frozen already, by anyone).
bool FreezeFileSystem(int fd);

ThawResult ThawFileSystem(int fd);

}  // namespace blbjob
