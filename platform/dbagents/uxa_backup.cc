#include "platform/dbagents/uxa_backup.h"

#include <string>
#include <utility>
#include <vector>

#include "platform/dbagents/oracle_content.h"
#include "platform/messages/uxa_messages.h"
#include "platform/sim/fault_table.h"

namespace {

// Items grouped by a key, the groups in the order of their first item.
template <class Item>
class Groups {
 public:
  std::vector<Item>& operator[](const std::string& key) {
    for (auto& group : groups_)
      if (group.first == key) return group.second;
    groups_.emplace_back(key, std::vector<Item>());
    return groups_.back().second;
  }
  const std::vector<std::pair<std::string, std::vector<Item>>>& All() const { return groups_; }

 private:
  std::vector<std::pair<std::string, std::vector<Item>>> groups_;
};

using Uxa::OraDatabaseContent;
using Uxa::OraDataFile;
using Uxa::OraPDB;
using Uxa::OraTableSpace;

// One table-space message per table space of the files, in order.
std::vector<CNMessageBase> TableSpaces(const std::vector<platform::OracleFileRecord>& files) {
  Groups<std::string> byTableSpace;
  for (const platform::OracleFileRecord& file : files) byTableSpace[file.tableSpace].push_back(file.path);
  std::vector<CNMessageBase> tableSpaces;
  for (const auto& [name, paths] : byTableSpace.All()) {
    std::vector<CNMessageBase> dataFiles;
    for (const std::string& path : paths) {
      OraDataFile dataFile;
      dataFile.setstring(OraDataFile::kPath.number, OraDataFile::kPath.tag, path);
      dataFiles.push_back(dataFile);
    }
    OraTableSpace tableSpace;
    tableSpace.setlistobject(OraTableSpace::kDataFiles.number, OraTableSpace::kDataFiles.tag, dataFiles);
    tableSpaces.push_back(tableSpace);
  }
  return tableSpaces;
}

}  // namespace

int UxaBackup::getDatabaseContent(uint32_t appType, int, CNMessageBase& message) {
  if (message.getModule() != OraDatabaseContent::kModule || message.getType() != OraDatabaseContent::kType) return -1;
  platform::OracleContentBackend& oracle = platform::OracleContent::Current();
  platform::OracleContentRequest request;
  request.appType = appType;
  request.instanceId = message.getint64(OraDatabaseContent::kInstanceId.number, OraDatabaseContent::kInstanceId.tag);
  request.appId = message.getint64(OraDatabaseContent::kAppId.number, OraDatabaseContent::kAppId.tag);
  request.kind = message.getint64(OraDatabaseContent::kRequestKind.number, OraDatabaseContent::kRequestKind.tag);
  oracle.RecordRequest(request);
  int code = 0;
  if (platform::InjectedFaultCode("UxaBackup::getDatabaseContent", code)) return code != 0 ? code : -1;

  const uint64_t instanceId = static_cast<uint64_t>(request.instanceId);
  std::vector<platform::OracleFileRecord> instanceFiles;
  int64_t status = 0;
  if (!oracle.Files(instanceId, instanceFiles) || !oracle.Status(instanceId, status)) return platform::kServiceFailed;
  Groups<platform::OracleFileRecord> byPdb;
  std::vector<platform::OracleFileRecord> own;
  for (const platform::OracleFileRecord& file : instanceFiles) {
    if (file.pdb.empty())
      own.push_back(file);
    else
      byPdb[file.pdb].push_back(file);
  }
  std::vector<CNMessageBase> pdbs;
  for (const auto& [name, files] : byPdb.All()) {
    OraPDB pdb;
    pdb.setlistobject(OraPDB::kTableSpaces.number, OraPDB::kTableSpaces.tag, TableSpaces(files));
    pdbs.push_back(pdb);
  }
  if (!pdbs.empty()) message.setlistobject(OraDatabaseContent::kPDBs.number, OraDatabaseContent::kPDBs.tag, pdbs);
  message.setlistobject(OraDatabaseContent::kTableSpaces.number, OraDatabaseContent::kTableSpaces.tag,
                        TableSpaces(own));
  message.setint64(OraDatabaseContent::kStatus.number, OraDatabaseContent::kStatus.tag, status);
  return 0;
}
