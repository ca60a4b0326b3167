#include "scan/volume_reader_for_backup.h"

#include <cstdlib>
#include <new>

#include "library/entry_guard.h"
#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"
#include "scan/extent_md5.h"
#include "scan/fsblb_hash_generator.h"
#include "scan/last_line.h"

namespace {

constexpr unsigned kErrorFailed = 774;

CQiError NoMemory(const FXCodeLocation& location) {
  return FXErrorUtil::ErrorWin32(location, kErrorFailed, "Failed to allocate memory");
}

}  // namespace

CVolumeReaderForBackup::CVolumeReaderForBackup() = default;

CVolumeReaderForBackup::~CVolumeReaderForBackup() = default;

CQiError CVolumeReaderForBackup::Initialize(DeviceInfo& info) {
  KZLOG(3, "Context=%s", info.sCollectFile.c_str());
  return Setup(info, false);
}

CQiError CVolumeReaderForBackup::Initialize2(DeviceInfo& info) { return Initialize(info); }

CQiError CVolumeReaderForBackup::Initialize3(DeviceInfo& info, unsigned long) { return Setup(info, true); }

// The agent's backup calls these: a closed call's exception (the hashing
// library's, the device reader's) stops at them, and at the hash callback the
// hashing library's threads call.
CQiError CVolumeReaderForBackup::Setup(DeviceInfo& info, bool readAhead) {
  m_bInitialized = false;
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&] { return SetUpReading(info, readAhead); });
}

CQiError CVolumeReaderForBackup::SetUpReading(DeviceInfo& info, bool readAhead) {
  boost::shared_ptr<CHashReadHandler> handler(readAhead ? new (std::nothrow) CExtentReadAheadHandler()
                                                        : new (std::nothrow) CHashReadHandler());
  if (!handler) return NoMemory(FXCODELOC);

  m_pHashGenerator.reset(new (std::nothrow) CFSBLBHashGenerator());
  if (!m_pHashGenerator) return NoMemory(FXCODELOC);
  CQiError err = m_pHashGenerator->Intialize(info.sSnapDevice, info.oDeviceInfo, info.pDeviceReader, 0,
                                             &CVolumeReaderForBackup::ComputeMd5Hash);
  if (err.IsError()) return err.Push(FXCODELOC);

  m_pCollectIterator.reset(new (std::nothrow) CExtCollectIterator());
  if (!m_pCollectIterator) return NoMemory(FXCODELOC);
  err = m_pCollectIterator->Initialize(info.sCollectFile, info.nStartPos, 0);
  if (err.IsError()) return err.Push(FXCODELOC);

  boost::shared_ptr<CExtCollectIterator> readAheadIterator;
  if (readAhead) {
    readAheadIterator.reset(new (std::nothrow) CExtCollectIterator());
    if (!readAheadIterator) return NoMemory(FXCODELOC);
    err = readAheadIterator->Initialize(info.sCollectFile, info.nStartPos, 0);
    if (err.IsError()) return err.Push(FXCODELOC);
  }

  err = handler->Initialize(info.eHashMode, info.sCollectFile, m_pHashGenerator, m_pCollectIterator,
                            info.oDeviceInfo.GetExtentSize(), info.nReadAheadCount);
  if (err.IsError()) return err.Push(FXCODELOC);
  if (readAhead) {
    err = static_cast<CExtentReadAheadHandler&>(*handler).SetExtentCollect(readAheadIterator);
    if (err.IsError()) return err.Push(FXCODELOC);
  }
  m_oReadHandler.Set(handler);
  m_bInitialized = true;
  return CQiError();
}

CQiError CVolumeReaderForBackup::GetNextExtent(ExtentHashItem*& item) {
  item = nullptr;
  CHashReadHandler* handler = m_oReadHandler.Get();
  if (!m_bInitialized || handler == nullptr)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "Volume reader not initialized");
  CQiError err = blocklevel::GuardEntryPoint(__FUNCTION__, [&] { return handler->GetNextExtent(item); });
  if (err.IsError()) err.Push(FXCODELOC);
  return err;
}

void CVolumeReaderForBackup::Stop() { m_oReadHandler.Stop(); }

CQiError CVolumeReaderForBackup::ComputeMd5Hash(unsigned char* buffer, unsigned long long length, std::string& hash) {
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&] { return scan::ComputeExtentMd5(buffer, length, hash); });
}

CQiError CVolumeReaderForBackup::OpenCollect(const std::string& path, unsigned long long& start) {
  start = 0;
  if (!FXPath::DoesPathExist(path)) return CQiError();
  uint64_t size = 0;
  CQiError err = FXFile::KZGetFileSize(path.c_str(), size);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to get file size, file=%s", path.c_str());
  if (size == 0) return CQiError();
  std::string line;
  if (!scan::ReadLastLine(path, line))
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "Failed to get last of the file, file=%s", path.c_str());
  const std::vector<FXString> fields = FXString::Split(line, '|');
  start = static_cast<unsigned long long>(std::strtoll(fields.empty() ? "" : fields[0].c_str(), nullptr, 10)) + 1;
  return CQiError();
}
