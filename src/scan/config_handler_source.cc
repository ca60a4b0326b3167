#include "scan/config_handler_source.h"

#include <new>

#include "devconfig/kz_device_config_handler.h"

namespace scan {
namespace {

ScopedDeviceConfigHandlerMaker::Maker& InstalledMaker() {
  static ScopedDeviceConfigHandlerMaker::Maker maker;
  return maker;
}

}  // namespace

KzDeviceConfigHandler* MakeDeviceConfigHandler(TarvosJobInfo& job) {
  if (InstalledMaker()) return InstalledMaker()(job);
  try {
    return KzDeviceConfigHandler::GetDeviceConfigHandler(job);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

ScopedDeviceConfigHandlerMaker::ScopedDeviceConfigHandlerMaker(Maker maker) : m_oPrevious(InstalledMaker()) {
  InstalledMaker() = std::move(maker);
}

ScopedDeviceConfigHandlerMaker::~ScopedDeviceConfigHandlerMaker() {
  InstalledMaker() = std::move(m_oPrevious);
}

}  // namespace scan
