#pragma once
// Volume-group and logical-volume names of an LVM device path, and the
// device-mapper path of a volume. Device-mapper joins the two names with a
// single "-" and doubles every "-" inside them ("/dev/mapper/my--vg-home" is
// VG "my-vg", LV "home"); the names kept here are the plain ones that the LVM
// tools print.
#include <string>

namespace lvmnames {

enum class PathKind {
  kMapper,    // "/dev/mapper/<vg>-<lv>"
  kVgLv,      // "/dev/<vg>/<lv>"
  kNotLvm,    // another "/dev/" path: not a logical volume
  kUnknown,   // no "/dev/" at all
};

// Splits a device path into plain VG and LV names. Both stay empty for a
// mapper name without a single "-" and for kUnknown paths.
PathKind Parse(const std::string& device, std::string& vg, std::string& lv);

// "/dev/mapper/" + VG + "-" + LV, with "-" doubled inside each name.
std::string MapperPath(const std::string& vg, const std::string& lv);

}  // namespace lvmnames
