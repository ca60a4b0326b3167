#include "tracking/content_list.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "platform/config/client_application_list.h"
#include "platform/config/kz_client.h"
#include "platform/dbagents/instance.h"
#include "platform/guid/guid_factory.h"
#include "platform/log/ev_debug.h"
#include "platform/lvm/lvm.h"
#include "platform/path/compare_path.h"
#include "platform/path/qi_path.h"
#include "platform/registry/kz_platform_info.h"
#include "platform/services/subclient.h"
#include "records/link_target.h"
#include "tracking/bl_fs_callback.h"
#include "tracking/block_level_subclient.h"
#include "tracking/content_list_location.h"

namespace {

unsigned long Lu(uint64_t value) { return static_cast<unsigned long>(value); }

}  // namespace

CQiError CContentList::Load(long long AppId, long long VornCellId) {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 0, "Starting to load BlockLevel contents");
  CQiError err = GetMountList();
  if (err.IsError()) return err.Push(CONTENTLIST_LOC, "Failed to get mount list");

  m_nVornCellId = static_cast<uint64_t>(VornCellId);
  ApplicationId application(static_cast<uint64_t>(VornCellId), static_cast<uint64_t>(AppId));
  // An application the configuration no longer knows has no instance: the
  // walk then asks only for the backup sets that serve every instance (0).
  Instance* instance = application.getInstance(nullptr);
  if (instance == nullptr)
    log.DebugLvl(__FUNCTION__, -1, "Failed to get instance of AppId=%lld, using instance id 0", AppId);
  m_nInstanceId = instance != nullptr ? instance->getInstanceId() : 0;

  std::list<std::string> clients;
  KZPlatformInfo::getActiveClientList(clients);
  log.DebugLvl(__FUNCTION__, 0, "Active clients list size=%lu", static_cast<unsigned long>(clients.size()));
  if (clients.empty())
    return FXErrorUtil::ErrorErrNo(CONTENTLIST_LOC, -1,
                                   "Active client list is empty, probably client hostname is unresolvable");

  for (const std::string& name : clients) {
    uint64_t clientId = 0;
    KZClient(name.c_str(), KZ_NAME_TYPE_CLIENT_NAME, 0, nullptr).getClientId(clientId, nullptr);
    log.DebugLvl(__FUNCTION__, 1, "Got client name:%s with id:%lu", name.c_str(), Lu(clientId));
    std::vector<uint64_t> types;
    std::vector<std::string> typeNames;
    if (!getAppTypeList(types, typeNames, clientId))
      return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627, "Failed to get appType list for clientId=[%lu]",
                                     Lu(clientId));
    for (uint64_t type : types) {
      switch (type) {
        case 19:
        case 21:
        case 29:
          err = LoadFS(clientId, type);
          if (err.IsError())
            return err.Push(CONTENTLIST_LOC, "Failed to enumerate device list, FS clientId=%lu AppType=%lu",
                            Lu(clientId), Lu(type));
          break;
        case 22:
        case 80:
        case 104:
        case 125:
          err = LoadDB(clientId, type);
          if (err.IsError())
            return err.Push(CONTENTLIST_LOC, "Failed to enumerate device list, DB clientId=%lu AppType=%lu",
                            Lu(clientId), Lu(type));
          break;
        default:
          break;
      }
    }
  }
  return CQiError();
}

CQiError CContentList::GetMountList() {
  CQiError err = KzMntTab::getAll(m_lMountTable);
  if (!err.IsError()) return err;
  EvDebug log;
  log.DebugLvl(__FUNCTION__, -1, "KzMntTab::getAll failed, error=%s", err.AsString().c_str());
  return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627, "failed to get mount list");
}

bool CContentList::getAppTypeList(std::vector<uint64_t>& types, std::vector<std::string>& names, uint64_t clientId) {
  EvDebug log;
  const int rc = ClientApplicationList::getApplicationTypes(types, names, clientId, nullptr, 1);
  if (rc != 0) {
    log.DebugLvl(__FUNCTION__, -1, "Failed to get appType list for clientId=%lu, rc=%d", Lu(clientId), rc);
    return false;
  }
  log.DebugLvl(__FUNCTION__, 3, "Fetched [%lu] appTypes for clientId=%lu", static_cast<unsigned long>(types.size()),
               Lu(clientId));
  return true;
}

CQiError CContentList::LoadFS(uint64_t clientId, uint64_t appType) {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 1, "Calling getBackupSetList with clientid:%lu appType:%lu instanceid:%lu", Lu(clientId),
               Lu(appType), Lu(m_nInstanceId));
  std::vector<uint64_t> setIds;
  std::vector<std::string> setNames;
  std::vector<uint64_t> setFlags;
  if (ClientApplicationList::getBackupSetList(setIds, setNames, setFlags, clientId, appType, m_nInstanceId, nullptr,
                                              13) != 0)
    return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627, "getBackupSetList() call failure for clientid:%lu",
                                   Lu(clientId));

  for (size_t set = 0; set < setIds.size() && set < setNames.size(); ++set) {
    const char* setName = setNames[set].c_str();
    log.DebugLvl(__FUNCTION__, 1, "Processing Backupset: name[%s] id[%lu]", setName, Lu(setIds[set]));
    std::vector<uint64_t> ids;
    std::vector<std::string> names;
    if (ClientApplicationList::getSubclientList(ids, names, appType, setIds[set], nullptr, 13) != 0)
      return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627,
                                     "getSubclientList() call failure for backupset:  name[%s] id[%lu]", setName,
                                     Lu(setIds[set]));

    for (size_t i = 0; i < ids.size() && i < names.size(); ++i) {
      const char* name = names[i].c_str();
      log.DebugLvl(__FUNCTION__, 1, "Processing Subclient: name[%s] id[%lu]", name, Lu(ids[i]));
      ApplicationId application(m_nVornCellId, ids[i]);
      if (application.getApplicationId(nullptr) != 0)
        return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627,
                                       "getApplicationId() call failure for subclient: name[%s] id[%lu]", name,
                                       Lu(ids[i]));
      Subclient* subclient = application.getSubclient(nullptr);
      if (subclient == nullptr)
        return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627, "Failed in getSubclient() for subclient: name[%s] id[%lu]",
                                       name, Lu(ids[i]));
      if (!IsBlockLevelSubclient(*subclient, true)) continue;

      log.DebugLvl(__FUNCTION__, 1, "BlockLevel SC: name[%s]", name);
      FSSubclientConf configuration;
      configuration.setAllowOverlapSCContent(true);
      if (configuration.load(&application, 0) < 0)
        return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627, "Failed to load subclient configuration");
      BLFSCallback contents;
      if (configuration.dirnames(&contents, name) < 0)
        return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627, "Failed to load content for subclient %s", name);

      for (const std::string& content : contents.Lines()) {
        log.DebugLvl(__FUNCTION__, 1, "subclient: name[%s]  content[%s]", name, content.c_str());
        std::list<std::string> devices;
        bool isZfs = false;
        CQiError err = FindDeviceListByContent(content, devices, isZfs);
        if (err.IsError()) {
          log.DebugLvl(__FUNCTION__, -1, "Failed to fetch device(s) corresponding to content=%s, error=%s",
                       content.c_str(), err.AsString().c_str());
          continue;
        }
        for (const std::string& device : devices)
          if (!device.empty()) AddRecord(clientId, ids[i], device, isZfs ? device : content);
      }
    }
  }
  return CQiError();
}

void CContentList::AddRecord(uint64_t clientId, uint64_t appId, const std::string& device, const std::string& keyPath) {
  VolumeConfig record(static_cast<long long>(m_nVornCellId), static_cast<long long>(clientId),
                      static_cast<long long>(appId), device, CGuidFactory::get_guid_nosalt(keyPath), 0, 0, 0, 0, "");
  FXString line = record.Serialize();
  line.TrimRight("\n");
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 1, "Adding entry=[%s]", line.c_str());
  m_lRecords.push_back(record);
}

CQiError CContentList::StatContent(const std::string& path, mode_t& mode) const {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    const int saved = errno;
    return FXErrorUtil::ErrorErrNo(CONTENTLIST_LOC, saved, "stat failed on path[%s], err=%s", path.c_str(),
                                   std::strerror(saved));
  }
  mode = info.st_mode;
  return CQiError();
}

const KzMntTab::Entry* CContentList::FindMountEntry(const std::string& mountPoint) const {
  for (const KzMntTab::Entry& entry : m_lMountTable)
    if (entry.m_sMountPoint == mountPoint) return &entry;
  return nullptr;
}

CQiError CContentList::ResolvePath(const std::string& path, bool zfsApart, std::string& device,
                                   const KzMntTab::Entry*& zfsEntry) {
  device.clear();
  zfsEntry = nullptr;
  mode_t mode = 0;
  CQiError err = StatContent(path, mode);
  if (err.IsError()) return err;
  // A link is taken for a link to a device, whatever it points to.
  if (S_ISLNK(mode)) {
    device = path;
    return GetLinkTargetPath(device);
  }
  if (S_ISBLK(mode) || S_ISCHR(mode)) {
    device = path;
    return CQiError();
  }
  // Only a mount point itself yields a device, not a folder below one.
  const KzMntTab::Entry* entry = FindMountEntry(path);
  if (entry == nullptr) return CQiError();
  if (zfsApart && entry->m_sFsType == "zfs") {
    zfsEntry = entry;
    return CQiError();
  }
  device = entry->m_sDevice;
  return GetLinkTargetPath(device);
}

CQiError CContentList::FindDeviceListByContent(const std::string& content, std::list<std::string>& devices,
                                               bool& isZfs) {
  isZfs = false;
  devices.clear();
  std::string device;
  const KzMntTab::Entry* zfsEntry = nullptr;
  CQiError err = ResolvePath(content, true, device, zfsEntry);
  if (err.IsError()) return err;
  if (zfsEntry == nullptr) {
    if (!device.empty()) devices.push_back(device);
    return err;
  }
  // ZFS datasets are no paths to resolve: their pool's members are the devices.
  isZfs = true;
  return FindZfsPoolDevices(*zfsEntry, content, devices);
}

CQiError CContentList::FindZfsPoolDevices(const KzMntTab::Entry& entry, const std::string& content,
                                          std::list<std::string>& devices) {
  EvDebug log;
  const std::string& dataset = entry.m_sDevice;
  std::string pool;
  const std::string::size_type slash = dataset.find('/');
  if (slash == std::string::npos) {
    log.DebugLvl(__FUNCTION__, -1, "Failed to get pool name from mount[%s] device[%s]", content.c_str(),
                 dataset.c_str());
  } else {
    pool = dataset.substr(0, slash);
    log.DebugLvl(__FUNCTION__, 0, "mount[%s] device[%s] pool[%s]", content.c_str(), dataset.c_str(), pool.c_str());
  }
  if (!pool.empty()) {
    auto cached = m_mPoolDevices.find(pool);
    if (cached != m_mPoolDevices.end() && !cached->second.empty()) {
      log.DebugLvl(__FUNCTION__, 0, "Re-using list of devices of zpool[%s] mount[%s]", pool.c_str(), content.c_str());
      devices = cached->second;
      return CQiError();
    }
  }

  std::unique_ptr<LVM> lvm;
  try {
    lvm.reset(LVM::getByLVDevice(dataset));
    if (!lvm) return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627, "Failed to allocate memory for LVM object");
    const LVM::VG group = lvm->getVG(dataset);
    if (!group.name.empty()) {
      log.DebugLvl(__FUNCTION__, 3, "LVM found for content[%s]", content.c_str());
      for (const auto& [name, volume] : group.lv_map) {
        log.DebugLvl(__FUNCTION__, 3, " vg.lv_map[].second.device[%s] strDeviceName[%s]", volume.device.c_str(),
                     dataset.c_str());
        if (ComparePath::Check(dataset, volume.device) != 0) continue;
        for (const std::string& member : volume.pv_names) {
          // A member the group does not list gives an empty path, which
          // adds no record.
          auto physical = group.pv_map.find(member);
          const std::string device = physical != group.pv_map.end() ? physical->second.device : std::string();
          log.DebugLvl(__FUNCTION__, 3, "adding vg.pv_map[].device[%s]", device.c_str());
          devices.push_back(device);
        }
      }
    }
  } catch (const std::exception& failure) {
    devices.clear();
    return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627, "failed to get device list, error=%s", failure.what());
  }
  if (!pool.empty() && !devices.empty()) {
    log.DebugLvl(__FUNCTION__, 0, "Adding zpool to device list info for zpool=%s", pool.c_str());
    m_mPoolDevices[pool] = devices;
  }
  return CQiError();
}

CQiError CContentList::FindDeviceByContent(const std::string& path, std::string& device) {
  const KzMntTab::Entry* zfsEntry = nullptr;
  return ResolvePath(path, false, device, zfsEntry);
}

CQiError CContentList::GetLinkTargetPath(std::string& path) {
  bool isLink = false;
  CQiError err = CQiPath(path).IsLink(isLink);
  if (err.IsError()) {
    if (FXErrorUtil::IsErrNo(err, ENOENT)) return CQiError();
    return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627, "Failed to check if path=%s is a link, error=%s",
                                   path.c_str(), err.AsString().c_str());
  }
  if (!isLink) return CQiError();
  std::string resolved;
  err = ReadLinkTargetOneLevel(path, resolved);
  if (err.IsError()) return err.Push(CONTENTLIST_LOC);
  path = resolved;
  return CQiError();
}
