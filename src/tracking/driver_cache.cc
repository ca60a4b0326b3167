#include "tracking/driver_cache.h"

#include "platform/fs/fx_file.h"
#include "platform/text/fx_string.h"

namespace tracking {

CQiError CheckDeviceIdForFileName(const std::string& deviceId) {
  if (deviceId.empty() || deviceId == "." || deviceId == ".." || deviceId.find('/') != std::string::npos ||
      deviceId.find('\0') != std::string::npos)
    return FXErrorUtil::ErrorWin32(FXCODELOC, 774, "Invalid device id for a cache file name, DeviceId=%s",
                                   deviceId.c_str());
  return CQiError();
}

CQiError CreateHookFile(const std::string& path, bool& existed) {
  existed = FXPath::DoesPathExist(path);
  if (existed) return CQiError();
  auto_handle file;
  CQiError err = FXFile::KZCreateFile(path.c_str(), fxfile::kGenericWrite, fxfile::kShareRead, nullptr,
                                      fxfile::kCreateAlways, fxfile::kAttributeNormal, file);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

}  // namespace tracking

CQiError CDriverCache::CreateHook(const std::string& deviceId, bool& existed) {
  existed = false;
  CQiError err = tracking::CheckDeviceIdForFileName(deviceId);
  if (err.IsError()) return err;
  err = tracking::CreateHookFile(FXPath::Append(m_sFolder, deviceId + ".hook"), existed);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CDriverCache::DeleteHook(const std::string& deviceId) {
  CQiError err = tracking::CheckDeviceIdForFileName(deviceId);
  if (err.IsError()) return err;
  err = FXFile::RemoveFile(FXPath::Append(m_sFolder, deviceId + ".hook").c_str());
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}
