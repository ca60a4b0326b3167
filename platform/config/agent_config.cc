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

StateDbResult QuerySubclients(const std::string& where, const std::vector<uint64_t>& values,
                              std::vector<SubclientRecord>& subclients) {
  const std::string sql = std::string("SELECT ") + kSubclientColumns + " FROM subclients " + where + ";";
  SqlStatement query(Db(), sql.c_str());
  int index = 1;
  for (uint64_t value : values) query.BindUnsigned(index++, value);
  return ReadRows(query, subclients, ReadSubclientRow);
}

namespace {

class DatabaseAgentConfig : public AgentConfigBackend {
 public:
  StateDbResult FindClient(uint64_t clientId, std::optional<ClientRecord>& client) override {
    SqlStatement query(Db(),
                       "SELECT id, name, host_name, job_results_dir, install_dir, active, virtual, os_id "
                       "FROM clients WHERE id = ?;");
    query.BindUnsigned(1, clientId);
    return ReadFirstRow(query, client, [](const SqlStatement& row) {
      ClientRecord found;
      found.id = row.Unsigned(0);
      found.name = row.Text(1);
      found.hostName = row.Text(2);
      found.jobResultsDir = row.Text(3);
      found.installDir = row.Text(4);
      found.active = row.Int(5) != 0;
      found.isVirtual = row.Int(6) != 0;
      found.osId = static_cast<int>(row.Int(7));
      return found;
    });
  }

  StateDbResult FindSubclient(uint64_t cellId, uint64_t appId, std::optional<SubclientRecord>& subclient) override {
    SqlStatement query(
        Db(),
        (std::string("SELECT ") + kSubclientColumns + " FROM subclients WHERE cell_id = ? AND app_id = ?;").c_str());
    query.BindUnsigned(1, cellId).BindUnsigned(2, appId);
    return ReadFirstRow(query, subclient, ReadSubclientRow);
  }

  StateDbResult Subclients(std::vector<SubclientRecord>& subclients) override {
    return QuerySubclients("ORDER BY cell_id, app_id", {}, subclients);
  }

  StateDbResult ClientIds(std::vector<uint64_t>& ids) override {
    SqlStatement query(Db(), "SELECT id FROM clients ORDER BY id;");
    return ReadRows(query, ids, [](const SqlStatement& row) { return row.Unsigned(0); });
  }

  StateDbResult SubclientContents(uint64_t cellId, uint64_t appId, std::vector<std::string>& paths) override {
    SqlStatement query(Db(), "SELECT path FROM subclient_contents WHERE cell_id = ? AND app_id = ? ORDER BY position;");
    query.BindUnsigned(1, cellId).BindUnsigned(2, appId);
    return ReadRows(query, paths, [](const SqlStatement& row) { return row.Text(0); });
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

  StateDbResult LocalClientId(uint64_t& clientId) override {
    SqlStatement query(Db(), "SELECT value FROM local_settings WHERE name = 'client_id';");
    std::optional<uint64_t> found;
    const StateDbResult read = ReadFirstRow(
        query, found, [](const SqlStatement& row) { return std::strtoull(row.Text(0).c_str(), nullptr, 10); });
    clientId = found.value_or(0);
    return read;
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
    return WriteSubclient(OnTakenKey::kReplace, subclient);
  }

  StateDbResult AddSubclient(const SubclientRecord& subclient) override {
    return WriteSubclient(OnTakenKey::kRefuse, subclient);
  }

  StateDbResult WriteSubclient(OnTakenKey onTaken, const SubclientRecord& subclient) {
    const std::string sql =
        InsertInto(onTaken, std::string("subclients (") + kSubclientColumns +
                                ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);");
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

  StateDbResult VornServeHost(std::optional<std::string>& host) override {
    SqlStatement query(Db(), "SELECT value FROM local_settings WHERE name = 'vornserve_host';");
    const StateDbResult read = ReadFirstRow(query, host, [](const SqlStatement& row) { return row.Text(0); });
    if (host && host->empty()) host.reset();
    return read;
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

StateDbResult SubclientJobResultsDir(uint64_t cellId, uint64_t appId, std::optional<std::string>& directory) {
  directory.reset();
  AgentConfigBackend& config = AgentConfig::Current();
  std::optional<SubclientRecord> subclient;
  const StateDbResult readSubclient = config.FindSubclient(cellId, appId, subclient);
  if (!readSubclient || !subclient) return readSubclient;
  std::optional<ClientRecord> client;
  const StateDbResult readClient = config.FindClient(subclient->clientId, client);
  if (!readClient || !client || client->jobResultsDir.empty()) return readClient;
  directory = client->jobResultsDir + "/" + std::to_string(cellId) + "/" + std::to_string(appId);
  return StateDbResult();
}

}  // namespace platform

int GetSubclientDir(uint32_t cellId, uint32_t appId, char* directory) {
  int code = 0;
  if (platform::InjectedFaultCode("GetSubclientDir", code)) return code != 0 ? code : -1;
  if (directory == nullptr) return -1;
  std::optional<std::string> found;
  if (!platform::SubclientJobResultsDir(cellId, appId, found) || !found || found->size() >= kSubclientDirSize)
    return -1;
  std::memcpy(directory, found->c_str(), found->size() + 1);
  return 0;
}

int GetSubclientDirAndFiles(uint32_t cellId, uint32_t appId, subclientFiles* files, int /*backupLevel*/,
                            const char* /*fileName*/) {
  int code = 0;
  if (files == nullptr || platform::InjectedFaultCode("GetSubclientDirAndFiles", code)) return -1;
  std::optional<std::string> directory;
  if (!platform::SubclientJobResultsDir(cellId, appId, directory) || !directory ||
      directory->size() >= sizeof files->m_szJobResultsDir)
    return -1;
  std::memcpy(files->m_szJobResultsDir, directory->c_str(), directory->size() + 1);
  return 0;
}
