#pragma once
// LVM: the agent's volume-manager library, over simulated pool maps.
//
// A pool map is a volume group whose logical volumes carry a device text (a
// ZFS dataset such as "tank/fs1", or a device path) and the names of the
// physical volumes they use, and whose physical volumes carry their device
// ("/dev/sdb"). getByLVDevice is the query: each call is counted per device
// text, so a test can tell how often the library was asked.
//
// Faults: "LVM::getByLVDevice" and "LVM::getVG". In "error" mode the first
// answers null and the second an empty group; in "throw" mode both throw a
// std::runtime_error, as the real library may. getVG throws one too when the
// pool maps cannot be read.
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "platform/base/backend.h"
#include "platform/sim/state_db_failure.h"

class LVM {
 public:
  struct PV {
    std::string name;
    std::string uuid;
    std::string device;
    std::string size;
    int m_nState = 1;  // a new record is in use
  };

  struct LV {
    std::string name;
    std::string uuid;
    std::string device;
    std::list<std::string> pv_names;  // in the order the volume uses them
  };

  // A group whose name (the second text) is empty stands for no group.
  struct VG {
    std::string uuid;
    std::string name;
    std::string format;
    std::string attributes;
    std::string size;
    std::string free;
    std::map<std::string, LV> lv_map;
    std::map<std::string, PV> pv_map;
  };

  virtual ~LVM() = default;

  // The object for a logical volume's device; null when it cannot be made.
  // The caller deletes it.
  static LVM* getByLVDevice(const std::string& device);

  // The group holding a logical volume whose device is the text; an empty
  // group when none does.
  virtual VG getVG(const std::string& device);

 protected:
  LVM() = default;
};

namespace platform {

// The readers return done (nothing found included) or why the read failed.
class LvmBackend {
 public:
  virtual ~LvmBackend() = default;
  // The group that holds a logical volume with this device text; an empty
  // group when none does.
  virtual StateDbResult GroupOfLogicalVolume(const std::string& device, LVM::VG& group) = 0;
  virtual void CountQuery(const std::string& device) = 0;
  virtual StateDbResult Queries(const std::string& device, uint64_t& count) = 0;

  // Seeding: replaces the group of the same name.
  virtual bool PutGroup(const LVM::VG& group) = 0;
  virtual StateDbResult Groups(std::vector<LVM::VG>& groups) = 0;
  virtual bool ClearGroups() = 0;

  static LvmBackend& Default();
};

using Lvm = Backend<LvmBackend>;

}  // namespace platform
