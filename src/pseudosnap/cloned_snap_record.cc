// The clone of the snapshot record made for the block-level snap engine:
// each snap names the device of the job's device configuration, and a zfs
// volume gets its own copy of its pool's metadata record. Also the volume
// types of a Unix destination's volumes.
#include <algorithm>

#include "platform/log/ev_debug.h"
#include "pseudosnap/pseudo_snap_handler_private.h"

namespace {

constexpr uint32_t kVolumeTypeFlags = 0x1 | 0x2;
constexpr int kPoolMetadataType = 2;
constexpr int kMetadataDbOpModeAdd = 1;

}  // namespace

CQiError CPseudoSnapArchiveHandlerPrivate::UpdateClonedVolSnapInfo() {
  for (SMVolumeInfo& volume : m_oClonedVolSnapInfo.getVolumeList()) {
    const int volumeId = volume.getSMVolumeId();
    std::string path;
    CQiError error = GetVolumeSourcePath(m_oClonedVolSnapInfo, volume, path);
    if (error.IsError()) return error.Push(FXCODELOC);
    auto mounted = m_mMountMap.find(path);
    if (mounted == m_mMountMap.end())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Could not find an entry corresponding to[%s] in MountMap",
                                     path.c_str());
    const std::string device = IsWindowsOsId() ? path : mounted->second;
    error = UpdateSourceSnapDevice(volumeId, device);
    if (error.IsError())
      return error.Push(FXCODELOC,
                        "UpdateSourceSnapDevice failed for VolumeId[%d] SrcPath[%s] SourceDevice[%s], err=[%s]",
                        volumeId, path.c_str(), mounted->second.c_str(), error.GetMessage().c_str());
    if (volume.getMountOptions().compare(0, 4, "zfs:") == 0) {
      error = UpdateLVMMetadata(volumeId, path);
      if (error.IsError())
        return error.Push(FXCODELOC, "UpdateLVMMetadata\tfailed for VolumeId[%d] SrcPath[%s]", volumeId, path.c_str());
    }
  }
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::UpdateSourceSnapDevice(int volumeId, const std::string& device) {
  EvDebug log;
  SMVolSnapInfo::VolSnapMapList& maps = m_oClonedVolSnapInfo.getVolSnapMapList();
  auto map = std::find_if(maps.begin(), maps.end(),
                          [volumeId](const SMVolSnapMapInfo& entry) { return entry.getSMVolumeId() == volumeId; });
  if (map == maps.end())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 2, "No snap entry found for Volume Id[%d]", volumeId);
  const int snapId = map->getSMSnapId();
  log.Debug(__FUNCTION__, "VolumeId=%d <--> SnapId=%d", volumeId, snapId);
  SMVolSnapInfo::SnapList& snaps = m_oClonedVolSnapInfo.getSnapList();
  auto snap = std::find_if(snaps.begin(), snaps.end(),
                           [snapId](const SMSnapInfo& entry) { return entry.getSMSnapId() == snapId; });
  // A map entry naming no snap leaves nothing to rewrite.
  if (snap == snaps.end()) return CQiError();
  log.Debug(__FUNCTION__, "Replacing snap device in clonedVolSnapInfo from[%s] to [%s]",
            snap->getSnapSourceDevice().c_str(), device.c_str());
  snap->setSnapSourceDevice(device);
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::UpdateLVMMetadata(int volumeId, const std::string& sourcePath) {
  EvDebug log;
  SMVolSnapInfo::VolumeList& volumes = m_oSnapVolSnapInfo.getVolumeList();
  auto volume = std::find_if(volumes.begin(), volumes.end(),
                             [&](const SMVolumeInfo& entry) { return entry.getSourcePath() == sourcePath; });
  if (volume == volumes.end()) return CQiError();
  const int snapVolumeId = volume->getSMVolumeId();
  SMVolSnapInfo::VolSnapMapList& maps = m_oSnapVolSnapInfo.getVolSnapMapList();
  auto map = std::find_if(maps.begin(), maps.end(),
                          [&](const SMVolSnapMapInfo& entry) { return entry.getSMVolumeId() == snapVolumeId; });
  if (map == maps.end()) return CQiError();
  const int metadataId = map->getMetaDataId();
  SMVolSnapInfo::MetaDataList& metadata = m_oSnapVolSnapInfo.getMetaDataList();
  auto record = std::find_if(metadata.begin(), metadata.end(), [&](const SMMetaDataInfo& entry) {
    return entry.getMetaDataId() == metadataId && entry.getMetaDataType() == kPoolMetadataType;
  });
  if (record == metadata.end()) return CQiError();
  SMMetaDataInfo copy = *record;
  copy.setDbOpMode(kMetadataDbOpModeAdd);
  const int newId = m_oClonedVolSnapInfo.addMetaData(copy, true);
  SMVolSnapInfo::VolSnapMapList& clonedMaps = m_oClonedVolSnapInfo.getVolSnapMapList();
  auto clonedMap = std::find_if(clonedMaps.begin(), clonedMaps.end(), [volumeId](const SMVolSnapMapInfo& entry) {
    return entry.getSMVolumeId() == volumeId;
  });
  if (clonedMap != clonedMaps.end()) {
    log.Debug(__FUNCTION__, "Updating metadata in clonedVolSnapInfo from[%d] to [%d] for VolumeId[%d]",
              clonedMap->getMetaDataId(), newId, volumeId);
    clonedMap->setMetaDataId(newId);
  }
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::GetVolumeType() {
  return GetVolumeType(m_oSnapVolSnapInfo);
}

CQiError CPseudoSnapArchiveHandlerPrivate::GetVolumeType(SMVolSnapInfo& record) {
  if (!IsUnixOsId()) return CQiError();
  m_mVolumeTypes.clear();
  for (const SMVolumeInfo& volume : record.getVolumeList())
    m_mVolumeTypes.insert({volume.getSourcePath(), (volume.getVolumeFlags() & kVolumeTypeFlags) != 0 ? 1 : 0});
  return CQiError();
}
