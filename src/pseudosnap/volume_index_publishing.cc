// A pseudo-snap job writes no data, so it publishes each volume's index
// item itself: the mount point as a folder tied to the volume's new archive
// file, with the metadata that names its component and geometry. Full and
// incremental jobs then store their catalogue in the job-info store.
#include <cerrno>
#include <cstring>

#include "indexinfo/index_metadata_tags.h"
#include "platform/guid/guid_factory.h"
#include "platform/log/ev_debug.h"
#include "platform/messages/uxa_messages.h"
#include "platform/services/archive_manager.h"
#include "platform/text/fx_string.h"
#include "pseudosnap/pseudo_snap_handler_private.h"
#include "records/block_device_config.h"

namespace {

constexpr uint32_t kAfileFlags = 0x214;
constexpr uint32_t kSynthFullAfileFlags = 0x210;
constexpr uint64_t kDirectoryMode = 0x4000;
constexpr uint64_t kVolumeAttributes = 1ULL << 44;
constexpr uint32_t kNameAndDirectoryOptions = 0x3;
constexpr size_t kHeaderNameLimit = 1024;
constexpr uint32_t kStoreFlagsMetadata = 32;
constexpr uint32_t kStoreFlagsNoMetadata = 64;
constexpr unsigned kOutOfMemory = 14;

std::string DeviceMessageText(const BackupDeviceInfo& device) {
  Uxa::BlockBackupDevice message;
  message.setint64(message.kIsCXBFDevice.number, message.kIsCXBFDevice.tag, device.IsCXBFDevice() ? 1 : 0);
  message.setstring(message.kSourceVolume.number, message.kSourceVolume.tag, device.GetSourceVolName());
  message.setstring(message.kSourceDevice.number, message.kSourceDevice.tag, device.GetSourceDeviceName());
  message.setstring(message.kFSType.number, message.kFSType.tag, device.GetFSType());
  message.setstring(message.kMountOptions.number, message.kMountOptions.tag, device.GetMountOpts());
  message.setuint64(message.kExtentSize.number, message.kExtentSize.tag, device.GetExtentSize());
  message.setuint64(message.kTotalBlocks.number, message.kTotalBlocks.tag, device.GetTotalBlocks());
  message.setuint64(message.kFSBlockSize.number, message.kFSBlockSize.tag, device.GetFSBlockSize());
  message.setuint64(message.kBitMapSize.number, message.kBitMapSize.tag, device.GetBitMapSize());
  message.setuint64(message.kDiskSize.number, message.kDiskSize.tag, device.GetDiskSize());
  return message.toString();
}

}  // namespace

CQiError CPseudoSnapArchiveHandlerPrivate::GetVolData(const std::string& volume, std::string& output) {
  output.clear();
  BlockDeviceConfigReaderWriter reader;
  CQiError error = reader.InitRead(FXPath::Append(m_sSubClientDir, "BlockDeviceConfig.kzf"));
  if (error.IsError()) return error.Push(FXCODELOC);
  for (;;) {
    BackupDeviceInfo device;
    error = reader.ReadNextBackupDevice(device);
    if (error.IsError()) return error.Push(FXCODELOC);
    if (!device.IsValid()) return CQiError();
    if (device.GetSourceVolName() != volume) continue;
    // The index keeps the geometry for the restores: a damaged record must
    // not reach it.
    if (!device.BitmapFitsExtents())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Device record of volume [%s] is damaged [%s]", volume.c_str(),
                                     device.Serialize().c_str());
    output = DeviceMessageText(device);
    if (output.empty())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "failed to serialize metadata[%s]", device.Serialize().c_str());
    return CQiError();
  }
}

std::string CPseudoSnapArchiveHandlerPrivate::GetParent(const std::string& path) {
  const char delimiter = m_cDelimiter;
  const std::string root(1, delimiter);
  std::string name = path;
  if (name.size() == 1 && name[0] == delimiter) {
    if (IsUnixOsId()) return root;
    EvDebug().Error(__FUNCTION__, "We should not reach here");
  } else if (name.size() > 1 && name.back() == delimiter) {
    name.pop_back();
  }
  const size_t last = name.rfind(delimiter);
  if (last == std::string::npos || last == 0) return root;
  return name.substr(0, last);
}

CQiError CPseudoSnapArchiveHandlerPrivate::SendVolumeAFileInfo(const std::string& volume, int pseudoArchFileId) {
  EvDebug log;
  ArMgrClientAPI archiveManager;
  GetAfileInfoArgsCC_t args;
  args.archFileId = static_cast<uint64_t>(static_cast<uint32_t>(pseudoArchFileId));
  args.cellId = m_nVornCellId;
  GetAfileInfoRetCC_t afile;
  if (archiveManager.getAfileInfo(&args, &afile) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "getAfileInfo failed for archiveId: %d", pseudoArchFileId);

  std::string subclientGuid;
  if (Subclient* subclient = m_pApplicationId ? m_pApplicationId->getSubclient(nullptr) : nullptr)
    if (subclient->getGUIDStr(subclientGuid) != 0)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "getGUIDStr failed for AppId[%lu]",
                                     static_cast<unsigned long>(m_nAppId));

  const uint32_t afileFlags = static_cast<uint32_t>(afile.flags) | PseudoArchiveFileFlags();
  ArchiveFileId_t afileId;
  afileId.cellId = static_cast<uint32_t>(afile.cellId);
  afileId.archiveGroupNumber = static_cast<uint32_t>(afile.archGroupId);
  afileId.archiveFileNumber = static_cast<uint32_t>(afile.archFileId);
  if (m_oIndexingConnection.sendAfileInfo(afileId, false, afile.createTime, afileFlags) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1,
                                   "sendAfileInfo(VorncellId:%u, aGroupNumber:%u, afileNumber:%u) failed",
                                   afileId.cellId, afileId.archiveGroupNumber, afileId.archiveFileNumber);

  const int windows = m_bWindowsDestination ? 1 : 0;
  const std::string componentId = GetObjectGuid(volume, windows, m_cDelimiter);
  databrowse::PathToAfileMap pathEntry;
  pathEntry.setstring(pathEntry.kPath.number, pathEntry.kPath.tag, "/");
  pathEntry.setint64(pathEntry.kArchFileId.number, pathEntry.kArchFileId.tag, pseudoArchFileId);
  pathEntry.setint64(pathEntry.kArchGroupId.number, pathEntry.kArchGroupId.tag, afileId.archiveGroupNumber);
  pathEntry.setint64(pathEntry.kArchFileFlags.number, pathEntry.kArchFileFlags.tag, afileFlags);
  pathEntry.setint64(pathEntry.kArchFileValue.number, pathEntry.kArchFileValue.tag,
                     static_cast<int64_t>(afile.createTime));
  databrowse::ViewIdComponentIdToAfileMap entry;
  entry.setstring(entry.kComponentId.number, entry.kComponentId.tag, componentId);
  entry.addlistobject(entry.kPaths.number, entry.kPaths.tag, pathEntry);
  m_GuidToAfileMapVector.push_back(entry);

  // The component id goes with the length word as the structure was made;
  // the index service reads the others' lengths.
  IndexMetaDataStruct componentItem;
  componentItem.tag = indexinfo::kComponentIdTag;
  if (m_oIndexingConnection.sendMetaDataInfo(componentItem, componentId) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1,
                                   "failed to send metadata[IDXDBINFO__COMPONENT_ID] = [%s] for volume: %s",
                                   componentId.c_str(), volume.c_str());
  log.DebugLvl(__FUNCTION__, 2, "sending metadata[IDXDBINFO__COMPONENT_ID] = [%s] for volume: %s", componentId.c_str(),
               volume.c_str());

  IndexMetaDataStruct objectItem;
  objectItem.tag = indexinfo::kObjectGuidTag;
  objectItem.length = static_cast<uint32_t>(componentId.size());
  if (m_oIndexingConnection.sendMetaDataInfo(objectItem, componentId) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1,
                                   "failed to send metadata[INDEXINGDATA_OBJECT_GUID] = [%s] for volume: %s",
                                   componentId.c_str(), volume.c_str());
  log.DebugLvl(__FUNCTION__, 2, "sending metadata[INDEXINGDATA_OBJECT_GUID] = [%s] for volume: %s", componentId.c_str(),
               volume.c_str());

  const std::string parent = GetParent(volume);
  const std::string parentGuid = GetObjectGuid(parent, windows, m_cDelimiter);
  IndexMetaDataStruct parentItem;
  parentItem.tag = indexinfo::kParentObjectGuidTag;
  parentItem.length = static_cast<uint32_t>(parentGuid.size());
  if (m_oIndexingConnection.sendMetaDataInfo(parentItem, parentGuid) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1,
                                   "failed to send metadata[INDEXINGDATA_PARENT_OBJECT_GUID] = [%s], Pernt=%s, for "
                                   "volume: %s",
                                   parentGuid.c_str(), parent.c_str(), volume.c_str());
  log.DebugLvl(__FUNCTION__, 2, "sending metadata[INDEXINGDATA_PARENT_OBJECT_GUID] = [%s], Pernt=%s, for volume: %s",
               parentGuid.c_str(), parent.c_str(), volume.c_str());

  std::string versionGuid;
  GetVersionGuid(volume, subclientGuid, m_nSnapJobId, 0, 0, 0, windows, m_cDelimiter, versionGuid);
  IndexMetaDataStruct versionItem;
  versionItem.tag = indexinfo::kVersionGuidTag;
  versionItem.length = static_cast<uint32_t>(versionGuid.size());
  if (m_oIndexingConnection.sendMetaDataInfo(versionItem, versionGuid) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1,
                                   "failed to send metadata[GRANULARAGINGDATA_GUID] = [%s] for volume: %s",
                                   versionGuid.c_str(), volume.c_str());
  log.DebugLvl(__FUNCTION__, 2, "sending metadata[GRANULARAGINGDATA_GUID] = [%s] for volume: %s", versionGuid.c_str(),
               volume.c_str());

  IdxMetadata::BlockLevelVolData volData;
  std::string deviceText;
  CQiError error = GetVolData(volume, deviceText);
  if (error.IsError())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "failed to get volume metadata for [%s] err[%s]", volume.c_str(),
                                   error.AsString().c_str());
  volData.setstring(volData.kVolume.number, volData.kVolume.tag, volume);
  volData.setstring(volData.kVolumeData.number, volData.kVolumeData.tag, deviceText);
  auto type = m_mVolumeTypes.find(volume);
  if (type != m_mVolumeTypes.end() && type->second != 0)
    volData.setint64(volData.kVolumeType.number, volData.kVolumeType.tag, 1);
  log.Debug(__FUNCTION__, "Sending [BlockLevelVolData] = [%s] for [%s]", volData.toString().c_str(), volume.c_str());
  IdxMetadata::IdxMetaData metadata;
  metadata.setObjectAccessor(metadata.kBlockLevelVolData.number, metadata.kBlockLevelVolData.tag, volData);
  if (m_oIndexingConnection.sendMetaDataInfo(metadata) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "failed to send block voldata for volume: %s", volume.c_str());

  CXFileHeader header;
  header.h_kind = CXFileHeader::kHeaderKind;
  header.h_signature = CXFileHeader::kSignature;
  // The length word holds the whole path while the name is cut: the index
  // service reads both.
  header.h_namelen = static_cast<uint32_t>(volume.size());
  header.h_mode = kDirectoryMode;
  header.h_attributes = kVolumeAttributes;
  auto size = m_mVolumeSizes.find(volume);
  header.h_filesize = size != m_mVolumeSizes.end() ? size->second : 0;
  header.h_delimiter = static_cast<unsigned char>(m_cDelimiter);
  header.h_options = kNameAndDirectoryOptions;
  header.h_clientOS = 0;
  header.SetFileName(volume, kHeaderNameLimit);
  log.Debug(__FUNCTION__, "volume [%s] size [%llu]", volume.c_str(),
            static_cast<unsigned long long>(header.h_filesize));
  if (m_oIndexingConnection.sendFileInfo(&header, 0, nullptr, 0) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "failed to send file header for mount: %s", volume.c_str());

  if (afile.archFileId != 0 && m_oIndexingConnection.updateRestartInfo(~0ULL) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "failed to update restart info for mount: %s", volume.c_str());
  return CQiError();
}

uint32_t CPseudoSnapArchiveHandlerPrivate::JobInfoStoreFlags() const {
  return m_bMetadataCollectionEnabled ? kStoreFlagsMetadata : kStoreFlagsNoMetadata;
}

uint32_t CPseudoSnapArchiveHandlerPrivate::PseudoArchiveFileFlags() const {
  return m_eBackupLevel == KZ_BKP_LEVEL_SYNTHFULL ? kSynthFullAfileFlags : kAfileFlags;
}

CQiError CPseudoSnapArchiveHandlerPrivate::PopulateFullIncrBackupIndex() {
  if (m_mPseudoArchFileMap.empty())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "No pseudo archive file to upload the catalog with");
  if (useIndexToStoreJobInfo(m_nAppType)) m_nMetadataType = 1;
  CJobInfoMetadataStoreFactory factory(m_sQM, m_sJobToken, m_nSnapJobId, m_nVornCellId, m_nAppId);
  CJobInfoMetadataStorePtr store = factory.GetInstance(m_nMetadataType);
  if (!store) return FXErrorUtil::ErrorWin32(FXCODELOC, kOutOfMemory);
  store->SetPathDelimiter(m_cDelimiter);
  store->SetJobId(m_nJobId);
  store->SetSnapJobId(m_nSnapJobId);
  store->SetFlags(JobInfoStoreFlags());
  store->SetAdditionalArchiveFileFlags(PseudoArchiveFileFlags());
  CQiError error = UploadCumulativeBackupBitmaps(store);
  if (error.IsError())
    return error.Push(FXCODELOC, "Failed to carry fwd cumulative backup bitmaps, error=[%s]", error.AsString().c_str());
  error = store->Upload(m_sQM, m_sJobToken, m_mPseudoArchFileMap.begin()->second);
  if (error.IsError()) return error.Push(FXCODELOC, "Failed to upload BlockDeviceConfig file to indexing");
  return CQiError();
}
