#pragma once
// The KZBF block-filter driver's user-space client interface. Every call the
// client does not provide fails with errno 95 (operation not supported).
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "platform/error/qi_error.h"

class KzBfDriverWrapper {
 public:
  virtual ~KzBfDriverWrapper() {}

  // Succeeds exactly when the driver is loaded and usable.
  virtual CQiError open() { return FXErrorUtil::ErrorErrNo(FXCODELOC, 95); }
  // Tracks the device at the given extent size; errno 114 when it already is.
  virtual CQiError attachDevice(const std::string& /*device*/, int /*extentSize*/) {
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 95);
  }
  virtual CQiError detachDevice(const std::string& /*device*/) { return FXErrorUtil::ErrorErrNo(FXCODELOC, 95); }
  // Whether the device is tracked, its size in bytes, its extent size in
  // bytes, its extent count and the device paths of its snapshots.
  virtual CQiError queryDevice(const std::string& /*device*/, bool* /*attached*/, int64_t* /*deviceSize*/,
                               int* /*extentSize*/, int* /*extentCount*/, std::list<std::string>* /*snapshots*/) {
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 95);
  }
  virtual CQiError clearBitmap(const std::string& /*device*/) { return FXErrorUtil::ErrorErrNo(FXCODELOC, 95); }
  // The device's change bitmap (extent i is bit i%8 of byte i/8); with clear
  // set the driver's bitmap is cleared by the same call.
  virtual CQiError getBitmap(const std::string& /*device*/, std::vector<char>* /*bitmap*/, bool /*clear*/) {
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 95);
  }
  virtual CQiError createSnap(const std::string& /*device*/, const std::string& /*name*/, int /*flags*/,
                              const std::string& /*a*/, const std::string& /*b*/, std::string* /*snapshot*/) {
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 95);
  }
  virtual CQiError destroySnap(const std::string& /*snapshot*/) { return FXErrorUtil::ErrorErrNo(FXCODELOC, 95); }
  virtual CQiError setDataBlockBitmap(const std::string& /*device*/, const void* /*bitmap*/, int /*size*/) {
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 95);
  }
};
