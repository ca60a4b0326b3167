// The database branch of the content list: Oracle data files or image-copy
// directories, MySQL data directories with what they hold, PostgreSQL data
// directories with their table spaces, each mapped to its volume's device.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/codec/nmessage_base.h"
#include "platform/config/client_application_list.h"
#include "platform/dbagents/instance.h"
#include "platform/dbagents/uxa_backup.h"
#include "platform/fs/qi_directory.h"
#include "platform/log/ev_debug.h"
#include "platform/messages/uxa_messages.h"
#include "platform/path/qi_path.h"
#include "platform/path/unix_symbolic_link.h"
#include "platform/services/subclient.h"
#include "platform/text/fx_string.h"
#include "tracking/block_level_subclient.h"
#include "tracking/content_list.h"
#include "tracking/content_list_location.h"

namespace {

unsigned long Lu(uint64_t value) {
  return static_cast<unsigned long>(value);
}

CQiError Failure1627(const FXCodeLocation& location, const std::string& message) {
  EvDebug log;
  log.DebugLvl(location.m_szFunction, 1, "%s", message.c_str());
  return FXErrorUtil::ErrorWin32(location, 1627, "%s", message.c_str());
}

// The data directory of a MySQL data-directory value: the second ":" piece
// of its first ";" item; false when that item has no ":".
bool MySqlDataDirectory(const std::string& value, std::string& directory) {
  const std::vector<FXString> items = FXString::Split(value, ';');
  const std::vector<FXString> pieces = FXString::Split(items.empty() ? std::string() : std::string(items.front()), ':');
  if (pieces.size() < 2) return false;
  directory = pieces[1];
  return true;
}

using Uxa::OraDatabaseContent;
using Uxa::OraDataFile;
using Uxa::OraPDB;
using Uxa::OraTableSpace;

void AppendDataFiles(const std::vector<CNMessageBase>& tableSpaces, std::list<std::string>& paths) {
  for (const CNMessageBase& tableSpace : tableSpaces)
    for (const CNMessageBase& dataFile :
         tableSpace.getlistobject(OraTableSpace::kDataFiles.number, OraTableSpace::kDataFiles.tag))
      paths.push_back(dataFile.getstring(OraDataFile::kPath.number, OraDataFile::kPath.tag));
}

}  // namespace

CQiError CContentList::LoadDB(uint64_t clientId, uint64_t appType) {
  switch (appType) {
    case 22:
    case 80:
      return LoadOracle(clientId, appType);
    case 104:
    case 125:
      return LoadMySqlPostgres(clientId, appType);
    default:
      return CQiError();
  }
}

CQiError CContentList::ForEachDatabaseSubclient(uint64_t clientId, uint64_t appType,
                                                const DatabaseSubclientHandler& handle) {
  EvDebug log;
  std::vector<uint64_t> instanceIds;
  std::vector<std::string> instanceNames;
  if (ClientApplicationList::getInstanceList(instanceIds, instanceNames, m_nVornCellId, clientId, appType, nullptr,
                                             6) != 0)
    return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627, "getInstanceList for clientId %lu type %lu failed",
                                   Lu(clientId), Lu(appType));

  for (size_t i = 0; i < instanceIds.size() && i < instanceNames.size(); ++i) {
    const char* instanceName = instanceNames[i].c_str();
    log.DebugLvl(__FUNCTION__, 1, "Processing Instance name[%s] id[%lu]", instanceName, Lu(instanceIds[i]));
    std::vector<std::string> texts;
    if (ClientApplicationList::getApplications(texts, m_nVornCellId, clientId, appType, instanceIds[i], 0, nullptr,
                                               false) != 0)
      return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627, "getApplications() call failure for  name[%s] id[%lu]",
                                     instanceName, Lu(instanceIds[i]));

    for (const std::string& text : texts) {
      ApplicationId application(text);
      DatabaseSubclient found{instanceIds[i], 0, std::string(), nullptr};
      if (application.getAppId(found.appId, nullptr) != 0)
        return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627, "getAppId() call failure for subclient: [%s] ",
                                       text.c_str());
      found.subclient = application.getSubclient(nullptr);
      if (found.subclient == nullptr)
        return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627, "getSubclient() call returned NULL for subclient: [%s] ",
                                       text.c_str());
      found.subclient->getSubclientName(found.name, nullptr);
      log.DebugLvl(__FUNCTION__, 1, "Processing Subclient: %s with Id %lu", found.name.c_str(), found.appId);
      CQiError err = handle(found);
      if (err.IsError()) return err;
    }
  }
  return CQiError();
}

CQiError CContentList::LoadOracle(uint64_t clientId, uint64_t appType) {
  EvDebug log;
  const char* const function = __FUNCTION__;
  log.DebugLvl(__FUNCTION__, 0, "Looking for BLB enabled Oracle sub-clients on clientId %lu appType %lu ", Lu(clientId),
               Lu(appType));
  return ForEachDatabaseSubclient(clientId, appType, [&](const DatabaseSubclient& found) {
    // Its image-copy setting is an Oracle subclient's own: without it the
    // subclient's paths cannot be told.
    auto* oracle = dynamic_cast<OracleBackpack*>(found.subclient);
    if (oracle == nullptr) {
      log.DebugLvl(function, -1, "Subclient %s (id %lu) is not an Oracle subclient, skipping it", found.name.c_str(),
                   found.appId);
      return CQiError();
    }
    int backupMode = 0;
    oracle->getBackupMode(backupMode, nullptr);
    bool snapBackup = false;
    oracle->getSnapBackup(snapBackup, nullptr);
    if (!snapBackup) {
      log.DebugLvl(function, 3, "Skip non-snap subclient :%s", found.name.c_str());
      return CQiError();
    }
    if (!IsBlockLevelSubclient(*oracle, true)) return CQiError();

    log.DebugLvl(function, 1, "BlockLevel SC: name[%s]", found.name.c_str());
    bool snapImageCopy = false;
    oracle->getSnapImageCopy(snapImageCopy, nullptr);
    std::list<std::string> paths;
    if (snapImageCopy) {
      std::string directory;
      oracle->getImageCopyDir(directory, nullptr);
      if (!directory.empty() && directory[0] == '+') {
        log.DebugLvl(function, -1, "ASM devices are not currently handled");
        return CQiError();
      }
      paths.push_back(directory);
    } else {
      CQiError err = CollectOracleFiles(found, static_cast<uint32_t>(appType), backupMode, paths);
      if (err.IsError()) return err;
    }
    return AddVolumeRecords(clientId, found, paths, true);
  });
}

CQiError CContentList::CollectOracleFiles(const DatabaseSubclient& found, uint32_t appType, int backupMode,
                                          std::list<std::string>& paths) {
  OraDatabaseContent content;
  content.setint64(OraDatabaseContent::kInstanceId.number, OraDatabaseContent::kInstanceId.tag,
                   static_cast<int64_t>(found.instanceId));
  // Backup modes 0 and 2 ask for the whole database, not the subclient's part.
  const bool wholeDatabase = backupMode == 0 || backupMode == 2;
  content.setint64(OraDatabaseContent::kAppId.number, OraDatabaseContent::kAppId.tag,
                   wholeDatabase ? 0 : static_cast<int64_t>(found.appId));
  content.setint64(OraDatabaseContent::kRequestKind.number, OraDatabaseContent::kRequestKind.tag, 5);
  if (UxaBackup::getDatabaseContent(appType, 0, content) != 0 ||
      content.getint64(OraDatabaseContent::kStatus.number, OraDatabaseContent::kStatus.tag) != 0)
    return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627, "Oracle: UxaBackup::getDatabaseContent() failed ");

  const std::vector<CNMessageBase> pdbs =
      content.getlistobject(OraDatabaseContent::kPDBs.number, OraDatabaseContent::kPDBs.tag);
  if (pdbs.empty()) {
    AppendDataFiles(
        content.getlistobject(OraDatabaseContent::kTableSpaces.number, OraDatabaseContent::kTableSpaces.tag), paths);
    return CQiError();
  }
  for (const CNMessageBase& pdb : pdbs)
    AppendDataFiles(pdb.getlistobject(OraPDB::kTableSpaces.number, OraPDB::kTableSpaces.tag), paths);
  return CQiError();
}

CQiError CContentList::LoadMySqlPostgres(uint64_t clientId, uint64_t appType) {
  EvDebug log;
  const char* const function = __FUNCTION__;
  return ForEachDatabaseSubclient(clientId, appType, [&](const DatabaseSubclient& found) {
    if (!IsBlockLevelSubclient(*found.subclient, false)) return CQiError();
    log.DebugLvl(function, 1, "BlockLevel SC: name[%s]", found.name.c_str());

    std::list<std::string> paths;
    if (appType == 125) {
      std::string dataDirectory;
      PostgreSQLInstance(found.instanceId).getPgDataDir(dataDirectory, nullptr);
      paths.push_back(dataDirectory);
      CQiError err = CollectDirectory(FXString::Format("%s/%s", dataDirectory.c_str(), "pg_tblspc"), false, paths);
      if (err.IsError()) return err;
      return AddVolumeRecords(clientId, found, paths, false);
    }

    std::string value;
    MySqlInstance(found.instanceId).getMySqlDataDir(value, nullptr);
    std::string dataDirectory;
    if (!MySqlDataDirectory(value, dataDirectory)) {
      log.DebugLvl(function, -1, "MySQL data directory value [%s] names no data directory, skipping subclient %s",
                   value.c_str(), found.name.c_str());
      return CQiError();
    }
    bool isLink = false;
    if (CQiPath(dataDirectory).IsLink(isLink).IsError())
      return Failure1627(CONTENTLIST_LOC, "Failed to determine if the path was a link");
    if (isLink) {
      struct stat info {};
      if (::lstat(dataDirectory.c_str(), &info) != 0) {
        const int saved = errno;
        log.DebugLvl(function, 3, "failed to stat on datadir:rc=%d", saved);
        return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627, " failed to stat on datadir:rc=%d", saved);
      }
      FXString linkPath = dataDirectory;
      if (linkPath.MatchRight("/")) linkPath.RemoveRight(1);
      std::string physical;
      std::vector<std::string> links;
      if (!UnixSymbolicLink::getPhysicalPath(linkPath, physical, links, 0, 0))
        return Failure1627(CONTENTLIST_LOC, "Failed to readlink");
      dataDirectory = physical;
    }
    paths.push_back(dataDirectory);
    CQiError err = CollectDirectory(dataDirectory, true, paths);
    if (err.IsError()) return err;
    return AddVolumeRecords(clientId, found, paths, false);
  });
}

CQiError CContentList::CollectDirectory(const std::string& directory, bool logPaths, std::list<std::string>& paths) {
  EvDebug log;
  CQiDirectory listing;
  if (listing.Open(directory.c_str(), "*", true).IsError())
    return Failure1627(CONTENTLIST_LOC, FXString::Format("Failed to open the directory [%s]", directory.c_str()));
  for (;;) {
    SQiDirEntry entry;
    bool end = false;
    CQiError err = listing.GetEntry(entry, end);
    if (err.IsError()) {
      listing.Close();
      return Failure1627(CONTENTLIST_LOC,
                         FXString::Format("CQiDirectory::GetEntry failed with error [%d:%s] .\n",
                                          static_cast<int>(FXErrorUtil::GetCode(err)), err.GetMessage().c_str()));
    }
    if (end) break;
    const std::string name = entry.m_sName.c_str();
    if (name == "." || name == "..") continue;
    const std::string path = CQiPath::Append(CQiPath(directory), name).GetPath();
    if (logPaths)
      log.DebugLvl(__FUNCTION__, 1, " Directory [%s] [%s]", name.c_str(), path.c_str());
    else
      log.DebugLvl(__FUNCTION__, 1, " Directory [%s] ", name.c_str());
    bool isLink = false;
    if (!CQiPath(path).IsLink(isLink).IsError() && isLink) {
      log.DebugLvl(__FUNCTION__, 1, " Link found [%s] ", path.c_str());
      std::string physical;
      std::vector<std::string> links;
      // A link that leads nowhere holds no data of the instance.
      if (!UnixSymbolicLink::getPhysicalPath(path, physical, links, 0, 0)) continue;
      log.DebugLvl(__FUNCTION__, 5, " Read link [%s] ", physical.c_str());
      paths.push_back(physical);
      continue;
    }
    paths.push_back(path);
  }
  listing.Close();
  return CQiError();
}

CQiError CContentList::AddVolumeRecords(uint64_t clientId, const DatabaseSubclient& found,
                                        const std::list<std::string>& paths, bool oracle) {
  EvDebug log;
  for (const std::string& path : paths) {
    if (oracle) log.DebugLvl(__FUNCTION__, 1, "subclient: name[%s]  content[%s]", found.name.c_str(), path.c_str());
    FXString volume;
    FXPath::KZGetVolumeNameForVolumeMountPoint(path, volume);
    if (volume.empty())
      return FXErrorUtil::ErrorWin32(CONTENTLIST_LOC, 1627, "could not find mount point for path %s", path.c_str());
    // The volume name ends in "/". The root volume keeps it: "/" is its
    // mount path, and an empty name would match no mount point.
    if (volume != "/") {
      if (oracle) {
        volume.RemoveRight(1);
      } else if (volume.MatchRight("/")) {
        log.DebugLvl(__FUNCTION__, 3, " Removing end / character");
        volume.RemoveRight(1);
      }
    }
    std::string device;
    FindDeviceByContent(volume, device);
    if (!device.empty()) AddRecord(clientId, found.appId, device, volume);
  }
  return CQiError();
}
