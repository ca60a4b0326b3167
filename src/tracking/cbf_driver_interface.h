#pragma once
// CBFDriverInterface: one device's view of the KZBF filter driver (its change
// bitmap, tracking on and off, the driver's snapshots) and of the device's
// LVM snapshots. Every object works through the one driver client of the
// process, which is never opened explicitly: each of its calls reaches the
// driver by itself. A KzException from the client is not caught here.
#include <cstdint>
#include <list>
#include <string>

#include "platform/driver/kz_bf_driver.h"
#include "platform/memory/auto_handle.h"

class CBFDriverInterface {
 public:
  explicit CBFDriverInterface(const std::string& device) : m_sDevice(device) {}
  virtual ~CBFDriverInterface() {}

  CQiError Initialize() { return CQiError(); }

  // The device's driver bitmap of size bytes, cleared in the driver by the
  // same call (GetAndClearBitmap) or left as it is (GetBitmap). On failure
  // the caller holds a zero-filled buffer of the size.
  CQiError GetAndClearBitmap(auto_ptr_array<unsigned char>& bitmap, const uint64_t& size);
  CQiError GetBitmap(auto_ptr_array<unsigned char>& bitmap, const uint64_t& size);

  // Makes sure the driver tracks the device; alreadyAttached tells whether it
  // did before this call.
  CQiError StartBlockFilter(bool& alreadyAttached);
  // Removes the driver's snapshots of the device and stops tracking it; the
  // result is the detach's, whatever the snapshot removals did.
  CQiError StopBlockFilter();
  CQiError QueryBlockFilter(bool* attached, int64_t* deviceSize, int* extentSize, int* extentCount,
                            std::list<std::string>* snapshots);

  // Appends the device paths of the device's LVM snapshots that the system
  // made ("kznv_" volumes) to the list, which is not cleared first.
  CQiError queryLVMSnaps(std::list<std::string>* snapshots);
  // Removes each listed LVM snapshot; failures are logged.
  void destroyLVMSnaps(std::list<std::string>* snapshots);

  static KzBfDriver m_oKzBf;

 private:
  CQiError ReadBitmap(auto_ptr_array<unsigned char>& bitmap, const uint64_t& size, bool clear);

  std::string m_sDevice;
};
