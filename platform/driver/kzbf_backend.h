#pragma once
// What the KZBF client facade (KzBfDriver) reaches. The default is the
// simulated driver (simulated_kzbf.h); tests install a double for a scope:
//   platform::KzBf::Scope use(myDriver);
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "platform/base/backend.h"
#include "platform/error/qi_error.h"

namespace platform {

struct KzBfDeviceStatus {
  bool attached = false;
  int64_t deviceSize = 0;
  int extentSize = 0;
  int extentCount = 0;
  std::list<std::string> snapshots;
};

class KzBfBackend {
 public:
  virtual ~KzBfBackend() = default;
  virtual CQiError Open() = 0;
  virtual CQiError Attach(const std::string& device, int extentSize) = 0;
  virtual CQiError Detach(const std::string& device) = 0;
  virtual CQiError Query(const std::string& device, KzBfDeviceStatus& status) = 0;
  virtual CQiError Clear(const std::string& device) = 0;
  virtual CQiError GetBitmap(const std::string& device, std::vector<char>& bitmap, bool clear) = 0;
  virtual CQiError DestroySnap(const std::string& snapshot) = 0;

  static KzBfBackend& Default();
};

using KzBf = Backend<KzBfBackend>;

}  // namespace platform
