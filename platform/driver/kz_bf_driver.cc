#include "platform/driver/kz_bf_driver.h"

#include "platform/driver/kzbf_backend.h"
#include "platform/sim/fault_table.h"

namespace {

platform::KzBfBackend& Driver() { return platform::KzBf::Current(); }

}  // namespace

CQiError KzBfDriver::open() {
  CQiError fault = platform::InjectedFault("KzBfDriver::open", FXCODELOC);
  if (fault.IsError()) return fault;
  CQiError result = Driver().Open();
  if (result.IsError()) return result.Push(FXCODELOC);
  m_nHandle = 0;
  return result;
}

CQiError KzBfDriver::attachDevice(const std::string& device, int extentSize) {
  CQiError fault = platform::InjectedFault("KzBfDriver::attachDevice", FXCODELOC);
  if (fault.IsError()) return fault;
  return Driver().Attach(device, extentSize);
}

CQiError KzBfDriver::detachDevice(const std::string& device) {
  CQiError fault = platform::InjectedFault("KzBfDriver::detachDevice", FXCODELOC);
  if (fault.IsError()) return fault;
  return Driver().Detach(device);
}

CQiError KzBfDriver::queryDevice(const std::string& device, bool* attached, int64_t* deviceSize, int* extentSize,
                                 int* extentCount, std::list<std::string>* snapshots) {
  CQiError fault = platform::InjectedFault("KzBfDriver::queryDevice", FXCODELOC);
  if (fault.IsError()) return fault;
  platform::KzBfDeviceStatus status;
  CQiError result = Driver().Query(device, status);
  if (result.IsError()) return result;
  if (attached) *attached = status.attached;
  if (deviceSize) *deviceSize = status.deviceSize;
  if (extentSize) *extentSize = status.extentSize;
  if (extentCount) *extentCount = status.extentCount;
  if (snapshots) snapshots->splice(snapshots->end(), status.snapshots);
  return result;
}

CQiError KzBfDriver::clearBitmap(const std::string& device) {
  CQiError fault = platform::InjectedFault("KzBfDriver::clearBitmap", FXCODELOC);
  if (fault.IsError()) return fault;
  return Driver().Clear(device);
}

CQiError KzBfDriver::getBitmap(const std::string& device, std::vector<char>* bitmap, bool clear) {
  CQiError fault = platform::InjectedFault("KzBfDriver::getBitmap", FXCODELOC);
  if (fault.IsError()) return fault;
  if (bitmap == nullptr) return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "No bitmap vector for device [%s]", device.c_str());
  return Driver().GetBitmap(device, *bitmap, clear);
}

CQiError KzBfDriver::destroySnap(const std::string& snapshot) {
  CQiError fault = platform::InjectedFault("KzBfDriver::destroySnap", FXCODELOC);
  if (fault.IsError()) return fault;
  return Driver().DestroySnap(snapshot);
}
