#include "platform/sim/fault_names.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace platform {
namespace {

// One group per facade (the folder of platform/ it lives in).
const char* const kFailableCalls[] = {
    // config/
    "ClientApplicationList::getApplicationTypes",
    "ClientApplicationList::getApplications",
    "ClientApplicationList::getBackupSetList",
    "ClientApplicationList::getInstanceList",
    "ClientApplicationList::getSubclientList",
    "ClientProperties::isVirtualClient",
    "GetSubclientDir",
    "GetSubclientDirAndFiles",
    "KZClient::getClientId",
    "KZClient::getInstallDirectory",
    "KZClient::getNetworkHostnameMangled",
    "KZClient::getName",
    "KZClient::getOperatingSystemId",
    "KZClient::getjobResultDirectory",
    "KZPI_Base::getHomeDirectory",
    "KZPI_Base::getTarvosTempDirectory",
    "KZPI_Base::getTarvosDirectory",
    "KZPI_Focus::getFocusClientName",
    "KZPI_VornClient::getJobResultsDirectory",
    "KZPI_VornClient::getVornServerHostName",
    "KZPlatformInfo::getActiveClientList",
    // archive/
    "KZArchive::SetFileSignatureData",
    "KZArchive::allocateBuffer",
    "KZArchive::writeBuffer",
    // bag/
    "CBag::LoadSerializedData",
    "CBag::Read",
    "CBag::Write",
    // blockdev/
    "ioctl::BLKBSZGET",
    "ioctl::BLKGETSIZE",
    "ioctl::BLKGETSIZE64",
    "ioctl::BLKIOMIN",
    "ioctl::BLKIOOPT",
    "ioctl::BLKPBSZGET",
    "ioctl::BLKSSZGET",
    // compress/
    "C7zip::AddFilesToArchive",
    "C7zip::ExtractFilesFromArchive",
    "C7zip::Initialize",
    // cxbf/
    "CXBF_DELETE_SNAP",
    "CXBF_GET_DEVICE_LIST",
    "CXBF_GET_INFO",
    "CXBF_STOP_SNAP",
    "KZVolume::isCXBFDevice",
    "KZVolumeUnix::GetFsBlockSize",
    "KZVolumeUnix::clearBitmap",
    "KZVolumeUnix::getAndClearBitmap",
    "KZVolumeUnix::getBitmap",
    "KZVolumeUnix::getVolumeInformation",
    "KZVolumeUnix::selectVolume",
    // dbagents/
    "Instance::getInstanceName",
    "MySqlInstance::getMySqlDataDir",
    "OracleRacInstance::getRacInstanceList",
    "PostgreSQLInstance::getPgDataDir",
    "UxaBackup::getDatabaseContent",
    // driver/
    "KzBfDriver::attachDevice",
    "KzBfDriver::clearBitmap",
    "KzBfDriver::destroySnap",
    "KzBfDriver::detachDevice",
    "KzBfDriver::getBitmap",
    "KzBfDriver::open",
    "KzBfDriver::queryDevice",
    "KzbfCopyDevice",
    "KzbfCreateSnapshot",
    // event/
    "EvEvent::InfoEvent",
    // fs/
    "CQiDirectory::Create",
    "CQiDirectory::GetEntry",
    "CQiDirectory::GetSpaceUsage",
    "CQiDirectory::Open",
    "CQiDirectory::Walk",
    "CQiUTFOSAPI::stat",
    "FXFile::KZCopyFile",
    "FXFile::KZCreateFile",
    "FXFile::KZFlushFile",
    "FXFile::KZGetFileSize",
    "FXFile::KZReadFile",
    "FXFile::KZSetFilePointer",
    "FXFile::KZWriteFile",
    "FXFile::RemoveFile",
    "FXFolder::CreateFoldersIteratively",
    "rename_utf",
    "unlink_utf",
    // fsparser/
    "FsParser::GetAllocatedExtentBitmap",
    "FsParser::init",
    // hashing/
    "CExtBmpIterator::Initialize",
    "CExtCollectIterator::Initialize",
    "CExtentHashTable_File::AddExtentEntry",
    "CExtentHashTable_File::GetNextExtentEntry",
    "CExtentHashTable_File::Initialize",
    "CHashReadHandler::GetNextExtent",
    "CHashReadHandler::Initialize",
    // indexing/
    "IdxBrowseClient::Browse",
    "IdxBrowseClient::Initialize",
    "IndexMetaDataHelper::fillBuffer",
    "IndexingConnection::backupDone",
    "IndexingConnection::initialize",
    "IndexingConnection::sendAfileInfo",
    "IndexingConnection::sendFileInfo",
    "IndexingConnection::sendMetaDataInfo",
    "IndexingConnection::updateRestartInfo",
    "shouldUseIndexingV2",
    // jobinfo/
    "CJobInfoMetadataReader::GetContainerFileList",
    "CJobInfoMetadataReader::WriteFileToPath",
    "CJobInfoMetadataReader::getContainerBag",
    "CJobInfoMetadataReaderFactory::GetInstance",
    "CJobInfoMetadataReaderManager::DownloadFile",
    "CJobInfoMetadataReaderManager::DownloadFiles",
    "CJobInfoMetadataReaderManager::GetActiveMetadataReader",
    "CJobInfoMetadataReaderManager::GetReaderForKey",
    "CJobInfoMetadataStore::AddFileToContainer",
    "CJobInfoMetadataStore::Upload",
    "CJobInfoMetadataStore::getContainerBag",
    "CJobInfoMetadataStoreFactory::GetInstance",
    // jobs/
    "KZBkpJobClient::changeBkpLevelToFull",
    "KZBkpJobClient::getXmlBlob",
    "KZBkpJobClient::init",
    "KZBkpJobClient::resetListOfVolumesWithMissingExtents",
    "KZBkpJobClient::setXmlBlob",
    "KZBkpJobClient::updateInfo",
    "KZJobClient::getBkpAttrs",
    "KZJobClient::init",
    "KZJobClient::processXmlReq",
    "KZJobCtrlClient::checkQuitFlag",
    "KZJobCtrlClient::getCN",
    // lock/
    "KzFileLock::lock",
    // lvm/
    "LVM::getByLVDevice",
    "LVM::getVG",
    // mnttab/
    "KzMntTab::getAll",
    // path/
    "CFilterTerm::LoadRaw",
    "CQiPath::IsLink",
    "ComparePath::Check",
    "FXPath::KZGetVolumeNameForVolumeMountPoint",
    "UnixSymbolicLink::getPhysicalPath",
    // process/
    "KzProcess::StartProcess",
    "KzProcess::WaitForProcessToEnd",
    "KzProcess::kill",
    "KzProcess::system",
    // registry/
    "KZPlatformInfo::getNumber",
    "KZPlatformInfo::getPhysicalMachine",
    "KZPlatformInfo::getString",
    "KZPlatformInfo::getStowhostVSHostName",
    // semaphore/
    "KzNamedSemaphore::KzNamedSemaphore",
    "KzNamedSemaphore::wait",
    // services/
    "ApplicationId::getAppId",
    "ApplicationId::getAppType",
    "ApplicationId::getApplicationType",
    "ApplicationId::getApplicationId",
    "ApplicationId::getBackupSet",
    "ApplicationId::getClient",
    "ApplicationId::getInstance",
    "ApplicationId::getSubclient",
    "ArMgrClientAPI::convertCopyIdToCopyPrecedence",
    "ArMgrClientAPI::getAfileInfo",
    "ArMgrClientAPI::getArchFileListForSnapshotJob",
    "ArMgrClientAPI::getLastAfileOfCycle",
    "ArMgrClientAPI::getUnMaterializedSnaps",
    "DemangleHostName",
    "FSSubclientConf::dirnames",
    "FSSubclientConf::load",
    "GetIndexFiles",
    "KzCopyFile::CopyFiles",
    "KzCopyFile::GetConnection",
    "OracleBackpack::getBackupMode",
    "OracleBackpack::getImageCopyDir",
    "OracleBackpack::getSnapImageCopy",
    "Subclient::getEnableMetadataBackup",
    "Subclient::getGUIDStr",
    "Subclient::getProxyClientId",
    "Subclient::getSnapBackup",
    "Subclient::getSubclientName",
    "Subclient::getUseBlockLevelBackup",
    "Subclient::getUseBlockLevelSPOSBackup",
    "Subclient::getUseSource",
    // snapshot/
    "KZQMSnapHandler::getEngineInfoByEngineID",
    "KZSnapClientAPI::getVolumeSnaps",
    "KZSnapClientAPI::updateVolumeSnaps",
    "KZSnapClientAPI::GetDiskVolSnapForASMVolSnap",
    "KZSnapClientAPI::CloneASMVolSnapForBlockEngine",
    "SMVolSnapInfo::cloneForBlockSnap",
    "UxaSnapUtil::addMountPoint",
    "UxaSnapUtil::createSnapArchiveFiles",
    // text/
    "CAscii85::Decode",
    // thread/
    "CAlertableEventThread::Start",
};

// Edits (insert, delete, replace) from one text to the other, case ignored.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const bool same =
          std::tolower(static_cast<unsigned char>(a[i - 1])) == std::tolower(static_cast<unsigned char>(b[j - 1]));
      const size_t next = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = row[j];
      row[j] = next;
    }
  }
  return row[b.size()];
}

}  // namespace

const std::vector<std::string>& FailableCalls() {
  static const std::vector<std::string>* names = [] {
    auto* sorted = new std::vector<std::string>(std::begin(kFailableCalls), std::end(kFailableCalls));
    std::sort(sorted->begin(), sorted->end());
    return sorted;
  }();
  return *names;
}

bool IsFailableCall(const std::string& call) {
  const std::vector<std::string>& names = FailableCalls();
  return std::binary_search(names.begin(), names.end(), call);
}

std::vector<std::string> NearestFailableCalls(const std::string& call, size_t count) {
  std::vector<std::pair<size_t, std::string>> ranked;
  for (const std::string& name : FailableCalls()) ranked.emplace_back(EditDistance(call, name), name);
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> nearest;
  for (size_t i = 0; i < ranked.size() && i < count; ++i) nearest.push_back(ranked[i].second);
  return nearest;
}

}  // namespace platform
