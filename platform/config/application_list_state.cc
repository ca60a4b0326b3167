// The simulated application list in the state database.
#include "platform/config/application_list.h"
#include "platform/config/subclient_rows.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

StateDb& Db() {
  return StateDb::Current();
}

std::vector<BackupSetRecord> ReadBackupSets(SqlStatement& query) {
  std::vector<BackupSetRecord> found;
  while (query.Step()) {
    BackupSetRecord backupSet;
    backupSet.id = query.Unsigned(0);
    backupSet.clientId = query.Unsigned(1);
    backupSet.appType = query.Unsigned(2);
    backupSet.instanceId = query.Unsigned(3);
    backupSet.name = query.Text(4);
    found.push_back(backupSet);
  }
  return found;
}

std::vector<InstanceRecord> ReadInstances(SqlStatement& query) {
  std::vector<InstanceRecord> found;
  while (query.Step()) {
    InstanceRecord instance;
    instance.id = query.Unsigned(0);
    instance.clientId = query.Unsigned(1);
    instance.appType = query.Unsigned(2);
    instance.name = query.Text(3);
    instance.dataDir = query.Text(4);
    found.push_back(instance);
  }
  return found;
}

#define BACKUP_SET_COLUMNS "SELECT id, client_id, app_type, instance_id, name FROM backup_sets "
#define INSTANCE_COLUMNS "SELECT id, client_id, app_type, name, data_dir FROM instances "

class DatabaseApplicationList : public ApplicationListBackend {
 public:
  std::vector<ApplicationTypeRecord> ApplicationTypes(uint64_t clientId) override {
    std::vector<ApplicationTypeRecord> types;
    SqlStatement query(Db(), "SELECT app_type, name FROM application_types WHERE client_id = ? ORDER BY position;");
    query.BindUnsigned(1, clientId);
    while (query.Step()) types.push_back({query.Unsigned(0), query.Text(1)});
    return types;
  }

  std::vector<BackupSetRecord> BackupSets(uint64_t clientId, uint64_t appType, uint64_t instanceId) override {
    SqlStatement query(Db(), BACKUP_SET_COLUMNS
                       "WHERE client_id = ? AND app_type = ? AND (instance_id = ? OR instance_id = 0) ORDER BY id;");
    query.BindUnsigned(1, clientId).BindUnsigned(2, appType).BindUnsigned(3, instanceId);
    return ReadBackupSets(query);
  }

  std::vector<SubclientRecord> BackupSetSubclients(uint64_t backupSetId) override {
    return QuerySubclients("WHERE backup_set_id = ? ORDER BY app_id, cell_id", {backupSetId});
  }

  std::vector<InstanceRecord> Instances(uint64_t clientId, uint64_t appType) override {
    SqlStatement query(Db(), INSTANCE_COLUMNS "WHERE client_id = ? AND app_type = ? ORDER BY id;");
    query.BindUnsigned(1, clientId).BindUnsigned(2, appType);
    return ReadInstances(query);
  }

  std::optional<InstanceRecord> FindInstance(uint64_t instanceId) override {
    SqlStatement query(Db(), INSTANCE_COLUMNS "WHERE id = ?;");
    query.BindUnsigned(1, instanceId);
    std::vector<InstanceRecord> found = ReadInstances(query);
    if (found.empty()) return std::nullopt;
    return found.front();
  }

  std::vector<SubclientRecord> InstanceSubclients(uint64_t cellId, uint64_t clientId, uint64_t appType,
                                                  uint64_t instanceId) override {
    return QuerySubclients("WHERE cell_id = ? AND client_id = ? AND app_type = ? AND instance_id = ? ORDER BY app_id",
                           {cellId, clientId, appType, instanceId});
  }

  void RecordCall(const ApplicationListCall& call) override {
    SqlStatement put(Db(), "INSERT INTO application_list_calls (call, client_id, app_type) VALUES (?, ?, ?);");
    put.Bind(1, call.call).BindUnsigned(2, call.clientId).BindUnsigned(3, call.appType).Run();
  }

  std::vector<ApplicationListCall> Calls() override {
    std::vector<ApplicationListCall> calls;
    SqlStatement query(Db(), "SELECT call, client_id, app_type FROM application_list_calls ORDER BY seq;");
    while (query.Step()) calls.push_back({query.Text(0), query.Unsigned(1), query.Unsigned(2)});
    return calls;
  }

  StateDbResult PutApplicationTypes(uint64_t clientId, const std::vector<ApplicationTypeRecord>& types) override {
    SqlStatement remove(Db(), "DELETE FROM application_types WHERE client_id = ?;");
    if (!remove.BindUnsigned(1, clientId).Run()) return remove.Result();
    long long position = 0;
    for (const ApplicationTypeRecord& type : types) {
      SqlStatement put(Db(),
                       "INSERT INTO application_types (client_id, position, app_type, name) VALUES (?, ?, ?, ?);");
      if (!put.BindUnsigned(1, clientId).Bind(2, position++).BindUnsigned(3, type.type).Bind(4, type.name).Run())
        return put.Result();
    }
    return StateDbResult();
  }

  StateDbResult PutBackupSet(const BackupSetRecord& backupSet) override {
    return WriteBackupSet("INSERT OR REPLACE", backupSet);
  }

  StateDbResult AddBackupSet(const BackupSetRecord& backupSet) override { return WriteBackupSet("INSERT", backupSet); }

  // verb: "INSERT" adds, "INSERT OR REPLACE" adds or replaces.
  StateDbResult WriteBackupSet(const char* verb, const BackupSetRecord& backupSet) {
    SqlStatement put(Db(), (std::string(verb) +
                            " INTO backup_sets (id, client_id, app_type, instance_id, name) VALUES (?, ?, ?, ?, ?);")
                               .c_str());
    put.BindUnsigned(1, backupSet.id)
        .BindUnsigned(2, backupSet.clientId)
        .BindUnsigned(3, backupSet.appType)
        .BindUnsigned(4, backupSet.instanceId)
        .Bind(5, backupSet.name);
    put.Run();
    return put.Result();
  }

  std::vector<uint64_t> RacNodes(uint64_t instanceId) override {
    SqlStatement query(Db(), "SELECT client_id FROM oracle_rac_nodes WHERE instance_id = ? ORDER BY position;");
    query.BindUnsigned(1, instanceId);
    std::vector<uint64_t> nodes;
    while (query.Step()) nodes.push_back(query.Unsigned(0));
    return nodes;
  }

  bool PutRacNodes(uint64_t instanceId, const std::vector<uint64_t>& clientIds) override {
    StateDb& db = Db();
    SqlStatement clear(db, "DELETE FROM oracle_rac_nodes WHERE instance_id = ?;");
    clear.BindUnsigned(1, instanceId);
    if (!clear.Run()) return false;
    SqlStatement put(db, "INSERT INTO oracle_rac_nodes (instance_id, position, client_id) VALUES (?, ?, ?);");
    put.BindUnsigned(1, instanceId);
    for (size_t position = 0; position < clientIds.size(); ++position) {
      put.BindUnsigned(2, position).BindUnsigned(3, clientIds[position]);
      if (!put.Run() || !put.Reset()) return false;
    }
    return true;
  }

  std::vector<uint64_t> RacInstances() override {
    SqlStatement query(Db(), "SELECT DISTINCT instance_id FROM oracle_rac_nodes ORDER BY instance_id;");
    std::vector<uint64_t> instances;
    while (query.Step()) instances.push_back(query.Unsigned(0));
    return instances;
  }

  bool PutInstance(const InstanceRecord& instance) override {
    SqlStatement put(
        Db(), "INSERT OR REPLACE INTO instances (id, client_id, app_type, name, data_dir) VALUES (?, ?, ?, ?, ?);");
    put.BindUnsigned(1, instance.id)
        .BindUnsigned(2, instance.clientId)
        .BindUnsigned(3, instance.appType)
        .Bind(4, instance.name)
        .Bind(5, instance.dataDir);
    return put.Run();
  }

  std::vector<uint64_t> ClientsWithApplicationTypes() override {
    std::vector<uint64_t> clients;
    SqlStatement query(Db(), "SELECT DISTINCT client_id FROM application_types ORDER BY client_id;");
    while (query.Step()) clients.push_back(query.Unsigned(0));
    return clients;
  }

  std::vector<BackupSetRecord> AllBackupSets() override {
    SqlStatement query(Db(), BACKUP_SET_COLUMNS "ORDER BY id;");
    return ReadBackupSets(query);
  }

  std::vector<InstanceRecord> AllInstances() override {
    SqlStatement query(Db(), INSTANCE_COLUMNS "ORDER BY id;");
    return ReadInstances(query);
  }
};

}  // namespace

ApplicationListBackend& ApplicationListBackend::Default() {
  static DatabaseApplicationList* backend = new DatabaseApplicationList();
  return *backend;
}

}  // namespace platform
