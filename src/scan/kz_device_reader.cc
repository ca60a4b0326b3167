#include "scan/kz_device_reader.h"

#include <sys/stat.h>

#include <cerrno>

KzDeviceReader::KzDeviceReader(TarvosJobInfo& job) : m_oJobInfo(job) {}

KzDeviceReader::~KzDeviceReader() = default;

CQiError KzDeviceReader::InitDevice(const std::string& devicePath, BackupDeviceInfo& info) {
  if (devicePath.empty()) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Empty snap device name passed");
  struct stat64 status;
  const bool exists = ::stat64(devicePath.c_str(), &status) == 0;
  if (!exists) return FXErrorUtil::ErrorErrNo(FXCODELOC, errno, "Invalid snap device");
  if (!info.IsValid()) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Invalid Backup Device");
  m_oDeviceInfo = info;
  m_sDevicePath = devicePath;
  m_bInitialized = true;
  CQiError err = OpenDevice();
  if (err.IsError()) err.Push(FXCODELOC);
  return err;
}
