#include "platform/lvm/lvm.h"

#include <stdexcept>

#include "platform/sim/fault_table.h"

namespace {

// The library reports its failures as standard exceptions, not as the
// framework's: a fault in "throw" mode is turned into one.
template <class Check>
bool Faulted(Check check) {
  try {
    return check();
  } catch (const KzException& raised) {
    throw std::runtime_error(raised.getMessage());
  }
}

}  // namespace

LVM* LVM::getByLVDevice(const std::string& device) {
  if (Faulted([] {
        int code = 0;
        return platform::InjectedFaultCode("LVM::getByLVDevice", code);
      }))
    return nullptr;
  platform::Lvm::Current().CountQuery(device);
  return new LVM();
}

LVM::VG LVM::getVG(const std::string& device) {
  if (Faulted([] {
        int code = 0;
        return platform::InjectedFaultCode("LVM::getVG", code);
      }))
    return VG();
  VG group;
  const platform::StateDbResult read = platform::Lvm::Current().GroupOfLogicalVolume(device, group);
  if (!read) throw std::runtime_error("Cannot read the pool maps: " + read.Why());
  return group;
}
