#pragma once
// Where the scan gets a job's device-configuration handler: the one place
// that names the handler it reads device records and change bitmaps through.
// It makes the base handler, which reads the records; the platform's own
// handler, which also reads each volume's change bitmap, takes its place
// here once its factory exists (until then a change bitmap cannot be read
// and every volume is backed up whole).
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
