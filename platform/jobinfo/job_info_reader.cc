#include "platform/jobinfo/job_info_reader.h"

#include <vector>

#include "platform/jobinfo/job_info_metadata.h"
#include "platform/jobs/bkp_job_client.h"
#include "platform/log/ev_debug.h"
#include "platform/services/index_files.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"

namespace {

// A reader of the job, with the job's time frame as the job service has it;
// null when the job service's record cannot be read.
CJobInfoMetadataReaderPtr MakeReader(uint64_t jobId, uint32_t metadataType) {
  std::optional<platform::JobRecord> job;
  if (!platform::JobService::Current().FindJob(jobId, job)) return nullptr;
  return std::make_shared<CJobInfoMetadataReader>(jobId, metadataType, job ? job->startTime : 0,
                                                  job ? job->endTime : 0);
}

}  // namespace

CQiError CJobInfoMetadataReader::WriteFileToPath(const std::string& container, const std::string& name,
                                                 const std::string& path) {
  int code = 0;
  if (platform::InjectedFaultCode("CJobInfoMetadataReader::WriteFileToPath", code))
    return FXErrorUtil::ErrorWin32(FXCODELOC, static_cast<unsigned>(code));
  std::string contents;
  code = platform::JobInfoMetadata::Current().ReadFile(m_nJobId, container, name, contents);
  if (code != 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, static_cast<unsigned>(code),
                                   "Failed to read file [%s] of container [%s] of job [%llu]", name.c_str(),
                                   container.c_str(), static_cast<unsigned long long>(m_nJobId));
  if (!platform::WriteFileAtomically(path, contents))
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to write file [%s] of container [%s] to [%s]", name.c_str(),
                                       container.c_str(), path.c_str());
  return CQiError();
}

CJobInfoMetadataReaderManager::CJobInfoMetadataReaderManager(const std::string&, uint64_t, uint64_t snapJobId, uint64_t,
                                                             uint64_t, uint32_t, uint32_t)
    : m_nSnapJobId(snapJobId), m_nMetadataType(platform::kJobInfoMetadataTypeRfc) {
  std::optional<platform::JobInfoJobRecord> job;
  m_bJobUnreadable = !platform::JobInfoMetadata::Current().FindJob(snapJobId, job);
  if (job) {
    m_nJobStartTime = job->startTime;
    m_nMetadataType = job->metadataType;
  }
}

CQiError CJobInfoMetadataReaderManager::Unreadable(const FXCodeLocation& location) const {
  if (!m_bJobUnreadable) return CQiError();
  return FXErrorUtil::ErrorWin32(location, platform::kServiceFailed, "Cannot read the metadata record of job [%llu]",
                                 static_cast<unsigned long long>(m_nSnapJobId));
}

CQiError CJobInfoMetadataReaderManager::DownloadFiles(const std::string& container, std::list<std::string>& names,
                                                      const std::string&, int) {
  names.clear();
  int code = 0;
  if (platform::InjectedFaultCode("CJobInfoMetadataReaderManager::DownloadFiles", code))
    return FXErrorUtil::ErrorWin32(FXCODELOC, static_cast<unsigned>(code));
  CQiError unreadable = Unreadable(FXCODELOC);
  if (unreadable.IsError()) return unreadable;
  std::vector<std::string> listed;
  code = platform::JobInfoMetadata::Current().ListFiles(m_nSnapJobId, container, listed);
  if (code != 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, static_cast<unsigned>(code),
                                   "Failed to list container [%s] of job [%llu]", container.c_str(),
                                   static_cast<unsigned long long>(m_nSnapJobId));
  names.assign(listed.begin(), listed.end());
  return CQiError();
}

CQiError CJobInfoMetadataReaderManager::DownloadFile(const std::string& container, const std::string& name,
                                                     const std::string& folder, std::string& localPath, int) {
  int code = 0;
  if (platform::InjectedFaultCode("CJobInfoMetadataReaderManager::DownloadFile", code))
    return FXErrorUtil::ErrorWin32(FXCODELOC, static_cast<unsigned>(code));
  if (!platform::IsPlainName(name))
    return FXErrorUtil::ErrorWin32(FXCODELOC, 87, "File name [%s] is not a plain name", name.c_str());
  CQiError unreadable = Unreadable(FXCODELOC);
  if (unreadable.IsError()) return unreadable;
  std::string contents;
  code = platform::JobInfoMetadata::Current().ReadFile(m_nSnapJobId, container, name, contents);
  if (code == 1168)
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1168, "File [%s] of container [%s] of job [%llu] not found", name.c_str(),
                                   container.c_str(), static_cast<unsigned long long>(m_nSnapJobId));
  if (code != 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, static_cast<unsigned>(code),
                                   "Failed to read file [%s] of container [%s] of job [%llu]", name.c_str(),
                                   container.c_str(), static_cast<unsigned long long>(m_nSnapJobId));
  const std::string path = folder + "/" + name;
  if (!platform::WriteFileAtomically(path, contents))
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to write file [%s] of container [%s] to [%s]", name.c_str(),
                                       container.c_str(), path.c_str());
  localPath = path;
  return CQiError();
}

CJobInfoMetadataReaderPtr CJobInfoMetadataReaderManager::GetActiveMetadataReader() {
  int code = 0;
  if (platform::InjectedFaultCode("CJobInfoMetadataReaderManager::GetActiveMetadataReader", code)) return nullptr;
  if (m_bJobUnreadable) return nullptr;
  CJobInfoMetadataReaderPtr reader = MakeReader(m_nSnapJobId, m_nMetadataType);
  if (!reader) return nullptr;
  reader->SetDelimiter(m_cDelimiter);
  if (m_nKeyStorageType != 0) reader->SetKeyStorageType(m_nKeyStorageType);
  return reader;
}

CQiError CJobInfoMetadataReaderManager::GetReaderForKey(const std::string& container, const std::string&,
                                                        uint32_t storageType) {
  int code = 0;
  if (platform::InjectedFaultCode("CJobInfoMetadataReaderManager::GetReaderForKey", code))
    return FXErrorUtil::ErrorWin32(FXCODELOC, static_cast<unsigned>(code));
  CQiError unreadable = Unreadable(FXCODELOC);
  if (unreadable.IsError()) return unreadable;
  if (storageType != 0) {
    m_nKeyStorageType = storageType;
    return CQiError();
  }
  for (uint32_t candidate : {2u, 1u}) {
    std::string bag;
    code = platform::JobInfoMetadata::Current().ReadBag(m_nSnapJobId, container, candidate, bag);
    if (code == 0) {
      m_nKeyStorageType = candidate;
      return CQiError();
    }
    if (code != 1168)
      return FXErrorUtil::ErrorWin32(FXCODELOC, static_cast<unsigned>(code), "Failed to read container [%s]",
                                     container.c_str());
  }
  return FXErrorUtil::ErrorWin32(FXCODELOC, 1168, "Container [%s] not found for job [%llu]", container.c_str(),
                                 static_cast<unsigned long long>(m_nSnapJobId));
}

CQiError CJobInfoMetadataReaderManager::GetValueForKey(const std::string& container, const std::string& key,
                                                       std::string& value, uint32_t storageType) {
  CQiError error = GetReaderForKey(container, key, storageType);
  if (error.IsError()) return error.Push(FXCODELOC);
  CJobInfoMetadataReaderPtr reader = GetActiveMetadataReader();
  if (!reader) return FXErrorUtil::ErrorWin32(FXCODELOC, 14);
  error = reader->getValueForKey(container, key, value);
  if (error.IsError()) return error.Push(FXCODELOC);
  return CQiError();
}

CBagPtr CJobInfoMetadataReader::getContainerBag(const std::string& container, int) {
  int code = 0;
  if (platform::InjectedFaultCode("CJobInfoMetadataReader::getContainerBag", code)) return nullptr;
  const uint32_t storageType = m_nKeyStorageType != 0 ? m_nKeyStorageType : m_nMetadataType;
  std::string text;
  if (platform::JobInfoMetadata::Current().ReadBag(m_nJobId, container, storageType, text) != 0) return nullptr;
  auto bag = std::make_shared<CBag>();
  if (bag->LoadSerializedData(text).IsError()) return nullptr;
  return bag;
}

CQiError CJobInfoMetadataReader::getValueForKey(const std::string& container, const std::string& key,
                                                std::string& value) {
  CBagPtr bag = getContainerBag(container, 2);
  if (!bag) return FXErrorUtil::ErrorWin32(FXCODELOC, 1168, "Error retrieving container.");
  if (bag->allKeys().empty()) EvDebug().DebugLvl(__FUNCTION__, 3, "Container empty, no values returned.");
  CQiError error = bag->Read(key, value);
  if (error.IsError()) return error.Push(FXCODELOC);
  return CQiError();
}

CQiError CJobInfoMetadataReader::GetContainerFileList(const std::string& container, std::list<std::string>& names) {
  names.clear();
  int code = 0;
  if (platform::InjectedFaultCode("CJobInfoMetadataReader::GetContainerFileList", code))
    return FXErrorUtil::ErrorWin32(FXCODELOC, static_cast<unsigned>(code));
  std::vector<std::string> listed;
  code = platform::JobInfoMetadata::Current().ListFiles(m_nJobId, container, listed);
  if (code != 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, static_cast<unsigned>(code),
                                   "Failed to list container [%s] of job [%llu]", container.c_str(),
                                   static_cast<unsigned long long>(m_nJobId));
  names.assign(listed.begin(), listed.end());
  return CQiError();
}

CJobInfoMetadataReaderPtr CJobInfoMetadataReaderFactory::GetInstance(int kind) {
  int code = 0;
  if (platform::InjectedFaultCode("CJobInfoMetadataReaderFactory::GetInstance", code)) return nullptr;
  if (kind != 1 && kind != 2) return nullptr;
  std::optional<platform::JobInfoJobRecord> metadata;
  if (!platform::JobInfoMetadata::Current().FindJob(m_nSnapJobId, metadata)) return nullptr;
  return MakeReader(m_nSnapJobId, metadata ? metadata->metadataType : platform::kJobInfoMetadataTypeRfc);
}
