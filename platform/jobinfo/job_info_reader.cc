#include "platform/jobinfo/job_info_reader.h"

#include <vector>

#include "platform/jobinfo/job_info_metadata.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"

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
  if (std::optional<platform::JobInfoJobRecord> job = platform::JobInfoMetadata::Current().FindJob(snapJobId)) {
    m_nJobStartTime = job->startTime;
    m_nMetadataType = job->metadataType;
  }
}

CQiError CJobInfoMetadataReaderManager::DownloadFiles(const std::string& container, std::list<std::string>& names,
                                                      const std::string&, int) {
  names.clear();
  int code = 0;
  if (platform::InjectedFaultCode("CJobInfoMetadataReaderManager::DownloadFiles", code))
    return FXErrorUtil::ErrorWin32(FXCODELOC, static_cast<unsigned>(code));
  std::vector<std::string> listed;
  code = platform::JobInfoMetadata::Current().ListFiles(m_nSnapJobId, container, listed);
  if (code != 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, static_cast<unsigned>(code),
                                   "Failed to list container [%s] of job [%llu]", container.c_str(),
                                   static_cast<unsigned long long>(m_nSnapJobId));
  names.assign(listed.begin(), listed.end());
  return CQiError();
}

CJobInfoMetadataReaderPtr CJobInfoMetadataReaderManager::GetActiveMetadataReader() {
  int code = 0;
  if (platform::InjectedFaultCode("CJobInfoMetadataReaderManager::GetActiveMetadataReader", code)) return nullptr;
  return std::make_shared<CJobInfoMetadataReader>(m_nSnapJobId, m_nMetadataType);
}
