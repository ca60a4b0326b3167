#include "scan/fsblb_hash_generator.h"

#include <cstring>

#include "platform/log/ev_debug.h"
#include "scan/kz_device_reader_unix.h"

namespace {

constexpr unsigned kErrorOutOfBoundary = 259;
constexpr unsigned kErrorFailed = 774;
constexpr int kReadLogLevel = 7;

}  // namespace

CFSBLBHashGenerator::CFSBLBHashGenerator()
    : m_pIoCounter(new CTimeCounter()), m_pHashCounter(new CTimeCounter()) {}

CFSBLBHashGenerator::~CFSBLBHashGenerator() {
  EvDebug log;
  log.Debug(__FUNCTION__, "Io Counters=%s", m_pIoCounter->AsString().c_str());
  log.Debug(__FUNCTION__, "Hash Counters=%s", m_pHashCounter->AsString().c_str());
}

void CFSBLBHashGenerator::Bind(const std::string& devicePath, const BackupDeviceInfo& info, HashCallback_Fp hash) {
  m_sDevicePath = devicePath;
  m_oDeviceInfo = info;
  m_pfnHash = hash;
  m_bLogReads = EvDebug::IsLevelEnabled(kReadLogLevel);
}

CQiError CFSBLBHashGenerator::Intialize(const std::string& devicePath, BackupDeviceInfo& info, TarvosJobInfo& job,
                                        unsigned long long, HashCallback_Fp hash) {
  boost::shared_ptr<KzDeviceReader> reader(new KzDeviceReaderUnix(job));
  CQiError err = reader->InitDevice(devicePath, info);
  if (err.IsError()) return err.Push(FXCODELOC);
  m_pDeviceReader = reader;
  Bind(devicePath, info, hash);
  return CQiError();
}

CQiError CFSBLBHashGenerator::Intialize(const std::string& devicePath, BackupDeviceInfo& info,
                                        boost::shared_ptr<KzDeviceReader> reader, unsigned long long,
                                        HashCallback_Fp hash) {
  m_pDeviceReader = reader;
  Bind(devicePath, info, hash);
  return CQiError();
}

CQiError CFSBLBHashGenerator::ReadBuffer(unsigned long long offset, unsigned long long length, unsigned char* buffer) {
  CAutoTimeCounter timed(m_pIoCounter.get());
  if (!m_pDeviceReader)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "No device reader for device %s", m_sDevicePath.c_str());
  const unsigned long long diskSize = m_oDeviceInfo.GetDiskSize();
  if (offset >= diskSize) return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorOutOfBoundary, "Accessing out of boundary");
  // Clipped in bytes: the record's total blocks are file-system blocks for
  // some file-system types, not sectors.
  const unsigned long long readable = length < diskSize - offset ? length : diskSize - offset;
  const unsigned long long firstSector = offset / KzDeviceReader::kSectorSize;
  const unsigned long sectors = static_cast<unsigned long>(readable / KzDeviceReader::kSectorSize);
  unsigned long read = 0;
  CQiError err = m_pDeviceReader->Read(firstSector, sectors, reinterpret_cast<char*>(buffer), read);
  if (err.IsError()) return err.Push(FXCODELOC);
  if (m_bLogReads) {
    EvDebug log;
    log.DebugLvl(__FUNCTION__, kReadLogLevel, "BlocksToRead[%lu] BlocksRead[%lu]", sectors, read);
  }
  if (read < sectors) {
    const unsigned long long blockSize = m_oDeviceInfo.GetFSBlockSize();
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "Read less bytes, Requested=%llu, Read=%llu",
                                   sectors * blockSize, read * blockSize);
  }
  const unsigned long long filled = static_cast<unsigned long long>(sectors) * KzDeviceReader::kSectorSize;
  if (filled < length) std::memset(buffer + filled, 0, static_cast<size_t>(length - filled));
  return CQiError();
}

CQiError CFSBLBHashGenerator::GetHash(unsigned char* buffer, unsigned long long length, std::string& hash) {
  CAutoTimeCounter timed(m_pHashCounter.get());
  if (m_pfnHash == nullptr)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "No hash function for device %s", m_sDevicePath.c_str());
  CQiError err = m_pfnHash(buffer, length, hash);
  if (err.IsError()) err.Push(FXCODELOC);
  return err;
}

CQiError CFSBLBHashGenerator::ReadBufferAndGetHash(unsigned long long offset, unsigned long long length,
                                                   unsigned char* buffer, std::string& hash) {
  CQiError err = ReadBuffer(offset, length, buffer);
  if (err.IsError()) return err.Push(FXCODELOC);
  err = GetHash(buffer, length, hash);
  if (err.IsError()) err.Push(FXCODELOC);
  return err;
}
