#pragma once
// Where the scan gets a job's device-configuration handler: the one place
// that names the handler it reads device records and change bitmaps through,
// the Unix handler the factory makes for a job identity.
#include <functional>

class KzDeviceConfigHandler;
class TarvosJobInfo;

namespace scan {

// A new handler for the job, owned by the caller; null when none could be made.
KzDeviceConfigHandler* MakeDeviceConfigHandler(TarvosJobInfo& job);

// For tests: handlers come from `maker` while the object lives.
class ScopedDeviceConfigHandlerMaker {
 public:
  using Maker = std::function<KzDeviceConfigHandler*(TarvosJobInfo&)>;
  explicit ScopedDeviceConfigHandlerMaker(Maker maker);
  ~ScopedDeviceConfigHandlerMaker();
  ScopedDeviceConfigHandlerMaker(const ScopedDeviceConfigHandlerMaker&) = delete;
  ScopedDeviceConfigHandlerMaker& operator=(const ScopedDeviceConfigHandlerMaker&) = delete;

 private:
  Maker m_oPrevious;
};

}  // namespace scan
