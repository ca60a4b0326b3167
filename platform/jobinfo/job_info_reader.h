#pragma once
// The reading side of the job-info metadata service (job_info_metadata.h):
// a manager opened on one job's metadata and the reader it hands out.
//
// Faults (each call then fails with the fault's code as a Windows-style
// error, or answers null): "CJobInfoMetadataReaderManager::DownloadFiles",
// "CJobInfoMetadataReaderManager::GetActiveMetadataReader",
// "CJobInfoMetadataReaderManager::DownloadFile",
// "CJobInfoMetadataReader::WriteFileToPath",
// "CJobInfoMetadataReader::GetContainerFileList",
// "CJobInfoMetadataReaderFactory::GetInstance",
// "CJobInfoMetadataReaderManager::GetReaderForKey",
// "CJobInfoMetadataReader::getContainerBag" (null).
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "platform/bag/bag.h"
#include "platform/error/qi_error.h"

class CJobInfoMetadataReader {
 public:
  // The job's time frame as the job service recorded it when the reader
  // was made.
  CJobInfoMetadataReader(uint64_t jobId, uint32_t metadataType, uint64_t timeFrameStart = 0, uint64_t timeFrameEnd = 0)
      : m_nJobId(jobId),
        m_nMetadataType(metadataType),
        m_nTimeFrameStart(timeFrameStart),
        m_nTimeFrameEnd(timeFrameEnd) {}

  // The job's metadata storage type: 2 "RFC", other values "Index".
  uint32_t GetMetadataType() const { return m_nMetadataType; }
  uint64_t GetJobId() const { return m_nJobId; }

  // Writes one file of the container to the path, whole or not at all (a
  // temporary beside it, renamed over it). Fails with 1168 when the
  // container holds no such file, with the errno when the path cannot be
  // written.
  CQiError WriteFileToPath(const std::string& container, const std::string& name, const std::string& path);
  // The container's file names in name order (none for a container the job
  // does not have).
  CQiError GetContainerFileList(const std::string& container, std::list<std::string>& names);

  void SetDelimiter(char delimiter) { m_cDelimiter = delimiter; }
  char GetDelimiter() const { return m_cDelimiter; }
  // The key-value container of the job in the storage type (1 index, 2
  // reference copy; the kind is the agent's and not used); null when the
  // job has none there.
  CBagPtr getContainerBag(const std::string& container, int kind);
  // The key's text value of the container: 1168 "Error retrieving
  // container." for a container the job lacks, the bag's failure for a key
  // it lacks.
  CQiError getValueForKey(const std::string& container, const std::string& key, std::string& value);
  // The storage type the key-value containers are read from (the job's
  // metadata type until set).
  void SetKeyStorageType(uint32_t storageType) { m_nKeyStorageType = storageType; }
  // The job's start and end times as the job service recorded them when
  // the reader was made (0 while unknown).
  uint64_t GetTimeFrameStart() const { return m_nTimeFrameStart; }
  uint64_t GetTimeFrameEnd() const { return m_nTimeFrameEnd; }

 private:
  uint64_t m_nJobId;
  uint32_t m_nMetadataType;
  uint64_t m_nTimeFrameStart;
  uint64_t m_nTimeFrameEnd;
  uint32_t m_nKeyStorageType = 0;
  char m_cDelimiter = '/';
};

using CJobInfoMetadataReaderPtr = std::shared_ptr<CJobInfoMetadataReader>;

class CJobInfoMetadataReaderManager {
 public:
  // Opens the metadata of snapJobId (the job whose metadata is read); jobId
  // is the job that reads it. The Stowhost client, the time and the last
  // argument tell the real service where and as of when to look; the
  // simulated service keeps one copy of each job's metadata.
  CJobInfoMetadataReaderManager(const std::string& stowhostClientName, uint64_t jobId, uint64_t snapJobId,
                                uint64_t cellId, uint64_t appId, uint32_t fromTime, uint32_t flags);

  // The start time of the job the manager was opened on (0 when the service
  // holds no record of it). When the record could not be read, every call
  // of the manager fails (1627, or null), so that nothing goes on from a
  // start time or a storage type the job may not have.
  uint64_t GetJobStartTime() const { return m_nJobStartTime; }

  // Lists the names of the container's files in name order; nothing is
  // downloaded (folder and flags are the real service's). A container the
  // job does not have lists empty.
  CQiError DownloadFiles(const std::string& container, std::list<std::string>& names, const std::string& folder,
                         int flags);
  // Writes one file of the container into the folder under its own name
  // (whole or not at all) and gives its local path; 1168 when the container
  // or the file is missing. The flags are the real service's.
  CQiError DownloadFile(const std::string& container, const std::string& name, const std::string& folder,
                        std::string& localPath, int flags);
  // The reader of the job's metadata; null when it cannot be had (the job
  // service's record of the job cannot be read).
  CJobInfoMetadataReaderPtr GetActiveMetadataReader();
  // Chooses the storage the active reader reads key-value containers from:
  // the given type, or for type 0 the one holding the container, the
  // reference copy (2) before the index (1); 1168 when none holds it.
  CQiError GetReaderForKey(const std::string& container, const std::string& key, uint32_t storageType);
  // The key's text value through the reader of GetReaderForKey.
  CQiError GetValueForKey(const std::string& container, const std::string& key, std::string& value,
                          uint32_t storageType);
  void SetDelimiter(char delimiter) { m_cDelimiter = delimiter; }

 private:
  // 1627 when the job's record could not be read, else nothing.
  CQiError Unreadable(const FXCodeLocation& location) const;

  uint64_t m_nSnapJobId;
  uint64_t m_nJobStartTime = 0;
  uint32_t m_nMetadataType;
  bool m_bJobUnreadable = false;
  uint32_t m_nKeyStorageType = 0;
  char m_cDelimiter = '/';
};

using CJobInfoMetadataReaderManagerPtr = std::shared_ptr<CJobInfoMetadataReaderManager>;

// Readers of the metadata of snapJobId (the third argument), asked for by
// jobId; the time and copy precedence are the real service's.
class CJobInfoMetadataReaderFactory {
 public:
  CJobInfoMetadataReaderFactory(const std::string& stowhostClientName, uint64_t jobId, uint64_t snapJobId,
                                uint64_t cellId, uint64_t appId, uint32_t fromTime, uint32_t copyPrecedence)
      : m_nSnapJobId(snapJobId) {
    (void)stowhostClientName, (void)jobId, (void)cellId, (void)appId, (void)fromTime, (void)copyPrecedence;
  }
  ~CJobInfoMetadataReaderFactory() {}

  // A reader of kind 1 (index) or 2 (RFC); null for another kind, and when
  // the job's records cannot be read.
  CJobInfoMetadataReaderPtr GetInstance(int kind);

 private:
  uint64_t m_nSnapJobId;
};
