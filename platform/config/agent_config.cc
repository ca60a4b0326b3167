#include "platform/config/agent_config.h"

#include <cstring>

#include "platform/sim/fault_table.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

SubclientRecord ReadSubclient(const SqlStatement& row) {
  SubclientRecord subclient;
  subclient.cellId = row.Unsigned(0);
  subclient.appId = row.Unsigned(1);
  subclient.clientId = row.Unsigned(2);
  subclient.proxyClientId = row.Unsigned(3);
  subclient.useSource = row.Int(4) != 0;
  subclient.blockLevelFlags = row.Unsigned(5);
  return subclient;
}

class DatabaseAgentConfig : public AgentConfigBackend {
 public:
  std::optional<ClientRecord> FindClient(uint64_t clientId) override {
    SqlStatement query(StateDb::Current(),
                       "SELECT id, name, host_name, job_results_dir, install_dir FROM clients WHERE id = ?;");
    query.BindUnsigned(1, clientId);
    if (!query.Step()) return std::nullopt;
    ClientRecord client;
    client.id = query.Unsigned(0);
    client.name = query.Text(1);
    client.hostName = query.Text(2);
    client.jobResultsDir = query.Text(3);
    client.installDir = query.Text(4);
    return client;
  }

  std::optional<SubclientRecord> FindSubclient(uint64_t cellId, uint64_t appId) override {
    SqlStatement query(StateDb::Current(),
                       "SELECT cell_id, app_id, client_id, proxy_client_id, use_source, block_level_flags "
                       "FROM subclients WHERE cell_id = ? AND app_id = ?;");
    query.BindUnsigned(1, cellId).BindUnsigned(2, appId);
    if (!query.Step()) return std::nullopt;
    return ReadSubclient(query);
  }

  std::vector<SubclientRecord> Subclients() override {
    std::vector<SubclientRecord> all;
    SqlStatement query(StateDb::Current(),
                       "SELECT cell_id, app_id, client_id, proxy_client_id, use_source, block_level_flags "
                       "FROM subclients ORDER BY cell_id, app_id;");
    while (query.Step()) all.push_back(ReadSubclient(query));
    return all;
  }

  std::vector<uint64_t> ClientIds() override {
    std::vector<uint64_t> ids;
    SqlStatement query(StateDb::Current(), "SELECT id FROM clients ORDER BY id;");
    while (query.Step()) ids.push_back(query.Unsigned(0));
    return ids;
  }

  uint64_t LocalClientId() override {
    SqlStatement query(StateDb::Current(), "SELECT value FROM local_settings WHERE name = 'client_id';");
    if (!query.Step()) return 0;
    return std::strtoull(query.Text(0).c_str(), nullptr, 10);
  }

  bool PutClient(const ClientRecord& client) override {
    SqlStatement put(StateDb::Current(),
                     "INSERT OR REPLACE INTO clients (id, name, host_name, job_results_dir, install_dir) "
                     "VALUES (?, ?, ?, ?, ?);");
    put.BindUnsigned(1, client.id)
        .Bind(2, client.name)
        .Bind(3, client.hostName)
        .Bind(4, client.jobResultsDir)
        .Bind(5, client.installDir);
    return put.Run();
  }

  bool PutSubclient(const SubclientRecord& subclient) override {
    SqlStatement put(StateDb::Current(),
                     "INSERT OR REPLACE INTO subclients "
                     "(cell_id, app_id, client_id, proxy_client_id, use_source, block_level_flags) "
                     "VALUES (?, ?, ?, ?, ?, ?);");
    put.BindUnsigned(1, subclient.cellId)
        .BindUnsigned(2, subclient.appId)
        .BindUnsigned(3, subclient.clientId)
        .BindUnsigned(4, subclient.proxyClientId)
        .Bind(5, subclient.useSource ? 1 : 0)
        .BindUnsigned(6, subclient.blockLevelFlags);
    return put.Run();
  }

  bool SetLocalClientId(uint64_t clientId) override {
    SqlStatement put(StateDb::Current(),
                     "INSERT OR REPLACE INTO local_settings (name, value) VALUES ('client_id', ?);");
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

int GetSubclientDirAndFiles(uint32_t cellId, uint32_t appId, subclientFiles* files, int /*backupLevel*/,
                            const char* /*fileName*/) {
  int code = 0;
  if (files == nullptr || platform::InjectedFaultCode("GetSubclientDirAndFiles", code)) return -1;
  std::optional<std::string> directory = platform::SubclientJobResultsDir(cellId, appId);
  if (!directory || directory->size() >= sizeof files->m_szJobResultsDir) return -1;
  std::memcpy(files->m_szJobResultsDir, directory->c_str(), directory->size() + 1);
  return 0;
}
