#include "platform/jobinfo/job_info_store.h"

#include <cerrno>
#include <cstdlib>
#include <list>

#include "platform/compress/c7zip.h"
#include "platform/config/agent_config.h"
#include "platform/jobinfo/job_info_metadata.h"
#include "platform/settings/settings.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"
#include "platform/text/fx_string.h"

CJobInfoMetadataStorePtr CJobInfoMetadataStoreFactory::GetInstance(uint32_t storageType) {
  int code = 0;
  if (platform::InjectedFaultCode("CJobInfoMetadataStoreFactory::GetInstance", code)) return nullptr;
  if (storageType != 1 && storageType != 2) return nullptr;
  return std::make_shared<CJobInfoMetadataStore>(m_nJobId, m_nCellId, m_nAppId, storageType);
}

CQiError CJobInfoMetadataStore::AddFileToContainer(const std::string& container, const std::string& localPath) {
  int code = 0;
  if (platform::InjectedFaultCode("CJobInfoMetadataStore::AddFileToContainer", code))
    return FXErrorUtil::ErrorWin32(FXCODELOC, static_cast<unsigned>(code));
  std::string contents;
  if (!platform::ReadWholeFile(localPath, contents))
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to stage [%s] into container [%s]", localPath.c_str(),
                                       container.c_str());
  m_mStaged[{container, std::string(FXPath::GetFileName(localPath))}] = contents;
  return CQiError();
}

CQiError CJobInfoMetadataStore::PackCatalogue() {
  char directory[kSubclientDirSize] = {};
  if (GetSubclientDir(m_nCellId, m_nAppId, directory) != 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1168, "No subclient directory for %u:%u", m_nCellId, m_nAppId);
  std::list<std::string> files{FXPath::Append(directory, "BlockDeviceConfig.kzf")};
  const std::string extension = FXPath::Append(directory, "BlockDeviceConfigExt.kzf");
  if (FXPath::DoesPathExist(extension)) files.push_back(extension);
  const std::string scratch = platform::TemporarySibling(platform::Settings::StatePath("tmp/catalogue"));
  if (!platform::MakeDirectories(scratch))
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot make %s", scratch.c_str());
  const std::string archive = FXPath::Append(scratch, kCatalogArchive);
  C7zip zip(std::string(), C7zip::kFormat7z);
  CQiError error = zip.AddFilesToArchive(archive, files, {});
  if (!error.IsError()) error = AddFileToContainer(kCatalogContainer, archive);
  platform::RemoveTree(scratch);
  return error.IsError() ? error.Push(FXCODELOC, "Failed to pack the catalogue of %s", directory) : error;
}

CQiError CJobInfoMetadataStore::Upload(const std::string&, const std::string&, int afileId) {
  int code = 0;
  if (platform::InjectedFaultCode("CJobInfoMetadataStore::Upload", code))
    return FXErrorUtil::ErrorWin32(FXCODELOC, static_cast<unsigned>(code));
  if (m_mStaged.count({kCatalogContainer, kCatalogArchive}) == 0) {
    CQiError error = PackCatalogue();
    if (error.IsError()) return error;
  }
  const uint64_t jobId = m_nJobId != 0 ? m_nJobId : m_nFactoryJobId;
  platform::JobInfoMetadataBackend& store = platform::JobInfoMetadata::Current();
  for (const auto& [key, contents] : m_mStaged)
    if (!store.PutFile(jobId, key.first, key.second, contents))
      return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "Failed to store [%s/%s] for job [%llu]", key.first.c_str(),
                                     key.second.c_str(), static_cast<unsigned long long>(jobId));
  for (const auto& [container, bag] : m_mBags) {
    std::string text;
    bag->GetSerializedData(text);
    if (!store.PutBag(jobId, container, m_nStorageType, text))
      return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "Failed to store container [%s] for job [%llu]",
                                     container.c_str(), static_cast<unsigned long long>(jobId));
  }
  // The job's record is rebuilt from what was read of it: from a read that
  // failed it would lose its start time, which later jobs look up.
  std::optional<platform::JobInfoJobRecord> stored;
  const platform::StateDbResult read = store.FindJob(jobId, stored);
  if (!read)
    return FXErrorUtil::ErrorWin32(FXCODELOC, platform::kServiceFailed, "Cannot read the settings of job [%llu]: %s",
                                   static_cast<unsigned long long>(jobId), read.Why().c_str());
  platform::JobInfoJobRecord job = stored.value_or(platform::JobInfoJobRecord());
  job.jobId = jobId;
  job.metadataType = m_nStorageType;
  job.storeFlags = m_nFlags;
  job.additionalFlags = m_nAdditionalFlags;
  job.afileId = afileId < 0 ? 0 : static_cast<uint64_t>(afileId);
  job.delimiter = m_cDelimiter == '\0' ? std::string() : std::string(1, m_cDelimiter);
  job.uploaded = true;
  if (!store.PutJob(job))
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "Failed to store the settings of job [%llu]",
                                   static_cast<unsigned long long>(jobId));
  m_bUploaded = true;
  return CQiError();
}

CBagPtr CJobInfoMetadataStore::getContainerBag(const std::string& container) {
  int code = 0;
  if (platform::InjectedFaultCode("CJobInfoMetadataStore::getContainerBag", code)) return nullptr;
  CBagPtr& bag = m_mBags[container];
  if (!bag) bag = std::make_shared<CBag>();
  return bag;
}

CQiError CJobInfoMetadataStore::setKeyValue(const std::string& container, const std::string& key,
                                            const std::string& value) {
  CBagPtr bag = getContainerBag(container);
  if (!bag) return FXErrorUtil::ErrorWin32(FXCODELOC, 1168);
  CQiError error = bag->Write(key, value);
  if (error.IsError()) return error.Push(FXCODELOC);
  return CQiError();
}
