#pragma once
// KzBfDriver: the KZBF driver's user-space client. Every call reaches the
// driver by itself (open is only the presence probe), can be failed or made
// to throw KzException through the fault table ("KzBfDriver::<call>"), and is
// forwarded at call time to the installed platform::KzBfBackend.
#include "platform/driver/kz_bf_driver_wrapper.h"

class KzBfDriver : public KzBfDriverWrapper {
 public:
  KzBfDriver() = default;
  ~KzBfDriver() override = default;

  CQiError open() override;
  CQiError attachDevice(const std::string& device, int extentSize) override;
  CQiError detachDevice(const std::string& device) override;
  CQiError queryDevice(const std::string& device, bool* attached, int64_t* deviceSize, int* extentSize,
                       int* extentCount, std::list<std::string>* snapshots) override;
  CQiError clearBitmap(const std::string& device) override;
  CQiError getBitmap(const std::string& device, std::vector<char>* bitmap, bool clear) override;
  CQiError destroySnap(const std::string& snapshot) override;

 private:
  int m_nHandle = -1;
};
