#pragma once
// CFSBLBHashGenerator: how the extent-hashing library reads and hashes the
// extents of a snapshot device. Reads go through a KzDeviceReader, clipped
// to the device's size; hashes through the function the caller plugs in.
// Read and hash times are counted and logged when the generator goes.
//
// A read clipped at the device's end (a partial last extent, or a length
// that is not whole sectors) leaves the rest of the buffer zeroed, so the
// hash over the whole length is that of the extent's bytes followed by
// zeros, whatever the buffer held before.
//
// No lock of its own: the device reader is safe to share, and a read
// thread and a hash thread may use one generator at once.
#include <boost/shared_ptr.hpp>

#include <string>

#include "platform/hashing/hash_generator.h"
#include "platform/time/time_stamp.h"
#include "records/backup_device_info.h"
#include "records/tarvos_job_info.h"
#include "scan/kz_device_reader.h"

class CFSBLBHashGenerator : public CHashGenerator {
 public:
  CFSBLBHashGenerator();
  ~CFSBLBHashGenerator() override;

  CQiError ReadBufferAndGetHash(unsigned long long offset, unsigned long long length, unsigned char* buffer,
                                std::string& hash) override;
  // Byte offset and length; the buffer holds length bytes.
  CQiError ReadBuffer(unsigned long long offset, unsigned long long length, unsigned char* buffer) override;
  CQiError GetHash(unsigned char* buffer, unsigned long long length, std::string& hash) override;

  using CHashGenerator::Intialize;
  // Opens a device reader of its own on the device; reserved is not read.
  virtual CQiError Intialize(const std::string& devicePath, BackupDeviceInfo& info, TarvosJobInfo& job,
                             unsigned long long reserved, HashCallback_Fp hash);
  // Shares a reader the caller opened; reserved is not read.
  virtual CQiError Intialize(const std::string& devicePath, BackupDeviceInfo& info,
                             boost::shared_ptr<KzDeviceReader> reader, unsigned long long reserved,
                             HashCallback_Fp hash);

 private:
  void Bind(const std::string& devicePath, const BackupDeviceInfo& info, HashCallback_Fp hash);

  std::string m_sDevicePath;
  BackupDeviceInfo m_oDeviceInfo;
  boost::shared_ptr<KzDeviceReader> m_pDeviceReader;
  boost::shared_ptr<CTimeCounter> m_pIoCounter;
  boost::shared_ptr<CTimeCounter> m_pHashCounter;
  HashCallback_Fp m_pfnHash = nullptr;
  // Whether each read is logged: asked once, so that a read whose line is
  // not written costs one comparison.
  bool m_bLogReads = false;
};
