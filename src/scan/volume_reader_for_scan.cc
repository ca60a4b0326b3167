#include "scan/volume_reader_for_scan.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "platform/memory/auto_handle.h"
#include "platform/text/fx_string.h"
#include "records/durable_files.h"
#include "scan/extent_md5.h"
#include "scan/fsblb_hash_generator.h"
#include "scan/last_line.h"

namespace {

constexpr unsigned kErrorFailed = 774;
constexpr unsigned long long kNoLimit = ~0ull;

CQiError NoMemory(const FXCodeLocation& location) {
  return FXErrorUtil::ErrorWin32(location, kErrorFailed, "Failed to allocate memory");
}

CQiError CutFile(const std::string& path, unsigned long long size) {
  if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0)
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to cut collect file %s to %llu bytes", path.c_str(), size);
  return CQiError();
}

CQiError AppendLineFeed(const std::string& path) {
  auto_handle file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  if (file.get() < 0 || ::write(file.get(), "\n", 1) != 1)
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to end the last line of collect file %s", path.c_str());
  return CQiError();
}

}  // namespace

CVolumeReaderForScan::CVolumeReaderForScan() = default;

CVolumeReaderForScan::~CVolumeReaderForScan() = default;

CQiError CVolumeReaderForScan::Initialize2(DeviceInfo& info) { return Initialize(info); }

CQiError CVolumeReaderForScan::Initialize(DeviceInfo& info) {
  m_bInitialized = false;
  const unsigned long long unitExtents = info.nSubNegBmpSize <= kNoLimit / 8 ? info.nSubNegBmpSize * 8 : kNoLimit;
  unsigned long long resume = info.nFirstExtent;
  CQiError err = OpenCollect(info.sCollect, resume, unitExtents);
  if (err.IsError()) return err.Push(FXCODELOC);

  boost::shared_ptr<CHashReadHandler> handler(new (std::nothrow) CHashReadHandler());
  if (!handler) return NoMemory(FXCODELOC);

  m_pHashGenerator.reset(new (std::nothrow) CFSBLBHashGenerator());
  if (!m_pHashGenerator) return NoMemory(FXCODELOC);
  err = m_pHashGenerator->Intialize(info.sSnapDevice, info.oDeviceInfo, info.oJobInfo, 0,
                                    &CVolumeReaderForScan::ComputeMd5Hash);
  if (err.IsError()) return err.Push(FXCODELOC);

  m_pIterator.reset(new (std::nothrow) CExtBmpIterator());
  if (!m_pIterator) return NoMemory(FXCODELOC);
  err = m_pIterator->Initialize(info.pSubNegBmp, info.nSubNegBmpSize, resume - info.nFirstExtent, info.nFirstExtent);
  if (err.IsError()) return err.Push(FXCODELOC);

  err = handler->Initialize(info.eMode, info.sCollect, m_pHashGenerator, m_pIterator,
                            info.oDeviceInfo.GetExtentSize(), info.nReadAheadQLen);
  if (err.IsError()) return err.Push(FXCODELOC);
  m_oReadHandler.Set(handler);
  m_bInitialized = true;
  return CQiError();
}

CQiError CVolumeReaderForScan::Run() {
  CHashReadHandler* handler = m_oReadHandler.Get();
  if (!m_bInitialized || handler == nullptr || !m_pCollectTable)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "Volume reader not initialized");
  for (;;) {
    ExtentHashItem* next = nullptr;
    CQiError err = handler->GetNextExtent(next);
    std::unique_ptr<ExtentHashItem> item(next);
    if (err.IsError()) return Finish(err.Push(FXCODELOC));
    if (!item) return Finish(CQiError());
    err = m_pCollectTable->AddExtentEntry(*item);
    if (err.IsError()) return Finish(err.Push(FXCODELOC));
  }
}

CQiError CVolumeReaderForScan::Finish(CQiError result) {
  CQiError flushed = m_pCollectTable->Flush();
  if (result.IsError()) return result;
  if (flushed.IsError()) return flushed.Push(FXCODELOC);
  CQiError synced = records::SyncFile(m_sCollect);
  if (synced.IsError()) synced.Push(FXCODELOC);
  return synced;
}

void CVolumeReaderForScan::Stop() { m_oReadHandler.Stop(); }

CQiError CVolumeReaderForScan::ComputeMd5Hash(unsigned char* buffer, unsigned long long length, std::string& hash) {
  return scan::ComputeExtentMd5(buffer, length, hash);
}

CQiError CVolumeReaderForScan::OpenCollect(const std::string& path, unsigned long long& firstExtent) {
  return OpenCollect(path, firstExtent, kNoLimit - firstExtent);
}

CQiError CVolumeReaderForScan::OpenCollect(const std::string& path, unsigned long long& firstExtent,
                                           unsigned long long unitExtents) {
  if (FXPath::DoesPathExist(path)) {
    uint64_t size = 0;
    CQiError err = FXFile::KZGetFileSize(path.c_str(), size);
    if (err.IsError()) return err.Push(FXCODELOC, "Failed to get file size, file=%s", path.c_str());
    if (size > 0) {
      err = ResumePoint(path, size, unitExtents, firstExtent);
      if (err.IsError()) return err.Push(FXCODELOC);
    }
  }
  m_sCollect = path;
  m_pCollectTable.reset(new (std::nothrow) CExtentHashTable_File(path));
  if (!m_pCollectTable) return NoMemory(FXCODELOC);
  CQiError err = m_pCollectTable->Initialize(std::ios_base::out | std::ios_base::app | std::ios_base::binary);
  if (err.IsError()) err.Push(FXCODELOC);
  return err;
}

CQiError CVolumeReaderForScan::ResumePoint(const std::string& path, unsigned long long size,
                                           unsigned long long unitExtents, unsigned long long& resume) {
  EvDebug log;
  std::string line;
  if (!scan::ReadLastLine(path, line))
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "Failed to read extent entry, file=%s", path.c_str());
  ExtentHashItem item;
  CQiError err = item.Initialize(line);
  bool ended = !line.empty() && line.back() == '\n';
  if (err.IsError() && !ended) {
    // A crash in the middle of an append: the entries before it are whole.
    log.Debug(__FUNCTION__, "Cutting torn last entry [%s] off collect file %s", line.c_str(), path.c_str());
    size -= line.size();
    err = CutFile(path, size);
    if (err.IsError() || size == 0) return err;
    if (!scan::ReadLastLine(path, line))
      return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "Failed to read extent entry, file=%s", path.c_str());
    err = item.Initialize(line);
    ended = true;
  }
  if (err.IsError()) return err.Push(FXCODELOC, "Last entry of collect file %s", path.c_str());
  const unsigned long long id = item.GetExtentId();
  if (id < resume || id - resume >= unitExtents) {
    log.Debug(__FUNCTION__, "Collect file %s ends with extent %llu, outside this unit's %llu extents from %llu: "
              "starting the unit over", path.c_str(), id, unitExtents, resume);
    return CutFile(path, 0);
  }
  if (!ended) {
    err = AppendLineFeed(path);
    if (err.IsError()) return err;
  }
  resume = id;
  return CQiError();
}
