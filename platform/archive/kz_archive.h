#pragma once
// The agent's archive object of a job: the archive files a snapshot job
// registers (through the snap utility) and the job's archive stream.
//
// The stream: records taken one buffer at a time. allocateBuffer hands out a
// buffer (asked size 0: the archive's default, 64 KiB unless the harness set
// another; the size granted is written back); writeBuffer appends it as one
// record and the buffer is the archive's from then on; a buffer that is not
// written goes back with freeBuffer. Simulated, a job's stream is the file
// archive/job-<JOB>.stream under the state directory, records of u32 type,
// u32 length (little-endian) and the payload (archive_stream.h reads them
// back; `blbsim archive`). A written record is in the file at once and on
// disk from Commit on, which stands for the end of the job's phase, where the
// real service has acknowledged the job's data. Each object counts the
// buffers it handed out that were neither written nor freed.
//
// Faults: "KZArchive::SetFileSignatureData" (its code),
// "KZArchive::allocateBuffer" (null), "KZArchive::writeBuffer" (its code; the
// buffer stays the caller's).
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "platform/jobs/backup_level.h"

class KZArchive {
 public:
  // An archive on the named client.
  explicit KZArchive(const std::string& clientName) : m_sClientName(clientName) {}
  ~KZArchive();
  KZArchive(const KZArchive&) = delete;
  KZArchive& operator=(const KZArchive&) = delete;

  void setJobId(uint64_t jobId) { m_nJobId = jobId; }
  void setBackupLevel(KZBkpLevel level) { m_eLevel = level; }
  uint32_t GetCopyId() const { return m_nCopyId; }

  // The signature of the next item's data; a null signature clears it.
  // 0, or the failure's code.
  int SetFileSignatureData(const void* data, int length);
  // A buffer of the asked size (0: the default); size is set to the size
  // granted. Null when no buffer can be had (22: more than kMaxBufferSize).
  char* allocateBuffer(uint32_t& size);
  // Appends the buffer's first `length` bytes as one record of the type.
  // 0: the buffer is the archive's now. Otherwise the failure's code (22: a
  // buffer this archive did not hand out, or a length past its size; an
  // errno of the stream file) and the buffer stays the caller's.
  int writeBuffer(char* buffer, uint32_t type, uint32_t length);
  // Gives back a buffer that was not written; null or an unknown one is
  // ignored.
  void freeBuffer(char* buffer);

  static constexpr uint32_t kDefaultBufferSize = 64 * 1024;
  static constexpr uint32_t kMaxBufferSize = 64 * 1024 * 1024;

  // The platform's own accessors (for the snap utility and the harness).
  const std::string& ClientName() const { return m_sClientName; }
  uint64_t JobId() const { return m_nJobId; }
  KZBkpLevel Level() const { return m_eLevel; }
  void SetCopyId(uint32_t copyId) { m_nCopyId = copyId; }
  // Buffers handed out and neither written nor freed.
  size_t OutstandingBuffers() const { return m_mBuffers.size(); }
  // Syncs the stream's records (and made the stream's name durable when the
  // first record created it): 0, or the errno of the sync.
  int Commit();

 private:
  int OpenStream();

  std::string m_sClientName;
  uint64_t m_nJobId = 0;
  KZBkpLevel m_eLevel = KZ_BKP_LEVEL_FULL;
  uint32_t m_nCopyId = 0;
  int m_nStream = -1;
  // Each buffer handed out (the payload pointer) to its size; the record's
  // type and length go into the 8 bytes in front of the payload.
  std::unordered_map<char*, uint32_t> m_mBuffers;
};
