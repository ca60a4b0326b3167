#include "platform/config/agent_config.h"

#include <cstring>

#include "platform/config/subclient_rows.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

StateDb& Db() {
  return StateDb::Current();
}

const char* const kSubclientColumns =
    "cell_id, app_id, client_id, proxy_client_id, use_source, block_level_flags, name, app_type, backup_set_id, "
    "instance_id, snap_backup, oracle_backup_mode, oracle_snap_image_copy, oracle_image_copy_dir, plain_subclient, "
    "indexing_v2, copy_id, group_id, guid";

SubclientRecord ReadSubclientRow(const SqlStatement& row) {
  SubclientRecord subclient;
  subclient.cellId = row.Unsigned(0);
  subclient.appId = row.Unsigned(1);
  subclient.clientId = row.Unsigned(2);
  subclient.proxyClientId = row.Unsigned(3);
  subclient.useSource = row.Int(4) != 0;
  subclient.blockLevelFlags = row.Unsigned(5);
  subclient.name = row.Text(6);
  subclient.appType = row.Unsigned(7);
  subclient.backupSetId = row.Unsigned(8);
  subclient.instanceId = row.Unsigned(9);
  subclient.snapBackup = row.Int(10) != 0;
  subclient.oracle.backupMode = static_cast<int>(row.Int(11));
  subclient.oracle.snapImageCopy = row.Int(12) != 0;
  subclient.oracle.imageCopyDir = row.Text(13);
  subclient.plainSubclient = row.Int(14) != 0;
  subclient.indexingV2 = row.Int(15) != 0;
  subclient.copyId = static_cast<uint32_t>(row.Unsigned(16));
  subclient.groupId = static_cast<uint32_t>(row.Unsigned(17));
  subclient.guid = row.Text(18);
  return subclient;
}

}  // namespace

std::vector<SubclientRecord> QuerySubclients(const std::string& where, const std::vector<uint64_t>& values) {
  std::vector<SubclientRecord> found;
  const std::string sql = std::string("SELECT ") + kSubclientColumns + " FROM subclients " + where + ";";
  SqlStatement query(Db(), sql.c_str());
  int index = 1;
  for (uint64_t value : values) query.BindUnsigned(index++, value);
  while (query.Step()) found.push_back(ReadSubclientRow(query));
  return found;
}

namespace {

class DatabaseAgentConfig : public AgentConfigBackend {
 public:
  std::optional<ClientRecord> FindClient(uint64_t clientId) override {
    SqlStatement query(Db(),
                       "SELECT id, name, host_name, job_results_dir, install_dir, active, virtual, os_id "
                       "FROM clients WHERE id = ?;");
    query.BindUnsigned(1, clientId);
    if (!query.Step()) return std::nullopt;
    ClientRecord client;
    client.id = query.Unsigned(0);
    client.name = query.Text(1);
    client.hostName = query.Text(2);
    client.jobResultsDir = query.Text(3);
    client.installDir = query.Text(4);
    client.active = query.Int(5) != 0;
    client.isVirtual = query.Int(6) != 0;
    client.osId = static_cast<int>(query.Int(7));
    return client;
  }

  std::optional<SubclientRecord> FindSubclient(uint64_t cellId, uint64_t appId) override {
    std::vector<SubclientRecord> found = QuerySubclients("WHERE cell_id = ? AND app_id = ?", {cellId, appId});
    if (found.empty()) return std::nullopt;
    return found.front();
  }

  std::vector<SubclientRecord> Subclients() override { return QuerySubclients("ORDER BY cell_id, app_id", {}); }

  std::vector<uint64_t> ClientIds() override {
    std::vector<uint64_t> ids;
    SqlStatement query(Db(), "SELECT id FROM clients ORDER BY id;");
    while (query.Step()) ids.push_back(query.Unsigned(0));
    return ids;
  }

  std::vector<std::string> SubclientContents(uint64_t cellId, uint64_t appId) override {
    std::vector<std::string> paths;
    SqlStatement query(Db(), "SELECT path FROM subclient_contents WHERE cell_id = ? AND app_id = ? ORDER BY position;");
    query.BindUnsigned(1, cellId).BindUnsigned(2, appId);
    while (query.Step()) paths.push_back(query.Text(0));
    return paths;
  }

  StateDbResult PutSubclientContents(uint64_t cellId, uint64_t appId, const std::vector<std::string>& paths) override {
    SqlStatement remove(Db(), "DELETE FROM subclient_contents WHERE cell_id = ? AND app_id = ?;");
    if (!remove.BindUnsigned(1, cellId).BindUnsigned(2, appId).Run()) return remove.Result();
    long long position = 0;
    for (const std::string& path : paths) {
      SqlStatement put(Db(), "INSERT INTO subclient_contents (cell_id, app_id, position, path) VALUES (?, ?, ?, ?);");
      if (!put.BindUnsigned(1, cellId).BindUnsigned(2, appId).Bind(3, position++).Bind(4, path).Run())
        return put.Result();
    }
    return StateDbResult();
  }

  uint64_t LocalClientId() override {
    SqlStatement query(Db(), "SELECT value FROM local_settings WHERE name = 'client_id';");
    if (!query.Step()) return 0;
    return std::strtoull(query.Text(0).c_str(), nullptr, 10);
  }

  bool PutClient(const ClientRecord& client) override {
    SqlStatement put(
        Db(),
        "INSERT OR REPLACE INTO clients (id, name, host_name, job_results_dir, install_dir, active, virtual, "
        "os_id) VALUES (?, ?, ?, ?, ?, ?, ?, ?);");
    put.BindUnsigned(1, client.id)
        .Bind(2, client.name)
        .Bind(3, client.hostName)
        .Bind(4, client.jobResultsDir)
        .Bind(5, client.installDir)
        .Bind(6, client.active ? 1 : 0)
        .Bind(7, client.isVirtual ? 1 : 0)
        .Bind(8, client.osId);
    return put.Run();
  }

  StateDbResult PutSubclient(const SubclientRecord& subclient) override {
    return WriteSubclient("INSERT OR REPLACE", subclient);
  }

  StateDbResult AddSubclient(const SubclientRecord& subclient) override { return WriteSubclient("INSERT", subclient); }

  // verb: "INSERT" adds, "INSERT OR REPLACE" adds or replaces.
  StateDbResult WriteSubclient(const char* verb, const SubclientRecord& subclient) {
    const std::string sql = std::string(verb) + " INTO subclients (" + kSubclientColumns +
                            ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);";
    SqlStatement put(Db(), sql.c_str());
    put.BindUnsigned(1, subclient.cellId)
        .BindUnsigned(2, subclient.appId)
        .BindUnsigned(3, subclient.clientId)
        .BindUnsigned(4, subclient.proxyClientId)
        .Bind(5, subclient.useSource ? 1 : 0)
        .BindUnsigned(6, subclient.blockLevelFlags)
        .Bind(7, subclient.name)
        .BindUnsigned(8, subclient.appType)
        .BindUnsigned(9, subclient.backupSetId)
        .BindUnsigned(10, subclient.instanceId)
        .Bind(11, subclient.snapBackup ? 1 : 0)
        .Bind(12, subclient.oracle.backupMode)
        .Bind(13, subclient.oracle.snapImageCopy ? 1 : 0)
        .Bind(14, subclient.oracle.imageCopyDir)
        .Bind(15, subclient.plainSubclient ? 1 : 0)
        .Bind(16, subclient.indexingV2 ? 1 : 0)
        .BindUnsigned(17, subclient.copyId)
        .BindUnsigned(18, subclient.groupId)
        .Bind(19, subclient.guid);
    put.Run();
    return put.Result();
  }

  std::optional<std::string> VornServeHost() override {
    SqlStatement query(Db(), "SELECT value FROM local_settings WHERE name = 'vornserve_host';");
    if (!query.Step() || query.Text(0).empty()) return std::nullopt;
    return query.Text(0);
  }

  bool SetVornServeHost(const std::string& host) override {
    if (host.empty()) return SqlStatement(Db(), "DELETE FROM local_settings WHERE name = 'vornserve_host';").Run();
    SqlStatement put(Db(), "INSERT OR REPLACE INTO local_settings (name, value) VALUES ('vornserve_host', ?);");
    put.Bind(1, host);
    return put.Run();
  }

  bool SetLocalClientId(uint64_t clientId) override {
    SqlStatement put(Db(), "INSERT OR REPLACE INTO local_settings (name, value) VALUES ('client_id', ?);");
    put.Bind(1, std::to_string(clientId));
    return put.Run();
  }
};

}  // namespace

AgentConfigBackend& AgentConfigBackend::Default() {
  static DatabaseAgentConfig* backend = new DatabaseAgentConfig();
  return *backend;
}

std::optional<std::string> SubclientJobResultsDir(uint64_t cellId, uint64_t appId) {
  AgentConfigBackend& config = AgentConfig::Current();
  std::optional<SubclientRecord> subclient = config.FindSubclient(cellId, appId);
  if (!subclient) return std::nullopt;
  std::optional<ClientRecord> client = config.FindClient(subclient->clientId);
  if (!client || client->jobResultsDir.empty()) return std::nullopt;
  return client->jobResultsDir + "/" + std::to_string(cellId) + "/" + std::to_string(appId);
}

}  // namespace platform

int GetSubclientDir(uint32_t cellId, uint32_t appId, char* directory) {
  int code = 0;
  if (platform::InjectedFaultCode("GetSubclientDir", code)) return code != 0 ? code : -1;
  if (directory == nullptr) return -1;
  std::optional<std::string> found = platform::SubclientJobResultsDir(cellId, appId);
  if (!found || found->size() >= kSubclientDirSize) return -1;
  std::memcpy(directory, found->c_str(), found->size() + 1);
  return 0;
}

int GetSubclientDirAndFiles(uint32_t cellId, uint32_t appId, subclientFiles* files, int /*backupLevel*/,
                            const char* /*fileName*/) {
  int code = 0;
  if (files == nullptr || platform::InjectedFaultCode("GetSubclientDirAndFiles", code)) return -1;
  std::optional<std::string> directory = platform::SubclientJobResultsDir(cellId, appId);
  if (!directory || directory->size() >= sizeof files->m_szJobResultsDir) return -1;
  std::memcpy(files->m_szJobResultsDir, directory->c_str(), directory->size() + 1);
  return 0;
}
