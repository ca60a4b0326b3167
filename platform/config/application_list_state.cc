// The simulated application list in the state database.
#include "platform/config/application_list.h"
#include "platform/config/subclient_rows.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

StateDb& Db() {
  return StateDb::Current();
}

BackupSetRecord ReadBackupSet(const SqlStatement& row) {
  BackupSetRecord backupSet;
  backupSet.id = row.Unsigned(0);
  backupSet.clientId = row.Unsigned(1);
  backupSet.appType = row.Unsigned(2);
  backupSet.instanceId = row.Unsigned(3);
  backupSet.name = row.Text(4);
  return backupSet;
}

InstanceRecord ReadInstance(const SqlStatement& row) {
  InstanceRecord instance;
  instance.id = row.Unsigned(0);
  instance.clientId = row.Unsigned(1);
  instance.appType = row.Unsigned(2);
  instance.name = row.Text(3);
  instance.dataDir = row.Text(4);
  return instance;
}

uint64_t ReadId(const SqlStatement& row) {
  return row.Unsigned(0);
}

#define BACKUP_SET_COLUMNS "SELECT id, client_id, app_type, instance_id, name FROM backup_sets "
#define INSTANCE_COLUMNS "SELECT id, client_id, app_type, name, data_dir FROM instances "

class DatabaseApplicationList : public ApplicationListBackend {
 public:
  StateDbResult ApplicationTypes(uint64_t clientId, std::vector<ApplicationTypeRecord>& types) override {
    SqlStatement query(Db(), "SELECT app_type, name FROM application_types WHERE client_id = ? ORDER BY position;");
    query.BindUnsigned(1, clientId);
    return ReadRows(query, types, [](const SqlStatement& row) {
      return ApplicationTypeRecord{row.Unsigned(0), row.Text(1)};
    });
  }

  StateDbResult BackupSets(uint64_t clientId, uint64_t appType, uint64_t instanceId,
                           std::vector<BackupSetRecord>& backupSets) override {
    SqlStatement query(Db(), BACKUP_SET_COLUMNS
                       "WHERE client_id = ? AND app_type = ? AND (instance_id = ? OR instance_id = 0) ORDER BY id;");
    query.BindUnsigned(1, clientId).BindUnsigned(2, appType).BindUnsigned(3, instanceId);
    return ReadRows(query, backupSets, ReadBackupSet);
  }

  StateDbResult BackupSetSubclients(uint64_t backupSetId, std::vector<SubclientRecord>& subclients) override {
    return QuerySubclients("WHERE backup_set_id = ? ORDER BY app_id, cell_id", {backupSetId}, subclients);
  }

  StateDbResult Instances(uint64_t clientId, uint64_t appType, std::vector<InstanceRecord>& instances) override {
    SqlStatement query(Db(), INSTANCE_COLUMNS "WHERE client_id = ? AND app_type = ? ORDER BY id;");
    query.BindUnsigned(1, clientId).BindUnsigned(2, appType);
    return ReadRows(query, instances, ReadInstance);
  }

  StateDbResult FindInstance(uint64_t instanceId, std::optional<InstanceRecord>& instance) override {
    SqlStatement query(Db(), INSTANCE_COLUMNS "WHERE id = ?;");
    query.BindUnsigned(1, instanceId);
    return ReadFirstRow(query, instance, ReadInstance);
  }

  StateDbResult InstanceSubclients(uint64_t cellId, uint64_t clientId, uint64_t appType, uint64_t instanceId,
                                   std::vector<SubclientRecord>& subclients) override {
    return QuerySubclients("WHERE cell_id = ? AND client_id = ? AND app_type = ? AND instance_id = ? ORDER BY app_id",
                           {cellId, clientId, appType, instanceId}, subclients);
  }

  void RecordCall(const ApplicationListCall& call) override {
    SqlStatement put(Db(), "INSERT INTO application_list_calls (call, client_id, app_type) VALUES (?, ?, ?);");
    put.Bind(1, call.call).BindUnsigned(2, call.clientId).BindUnsigned(3, call.appType).Run();
  }

  StateDbResult Calls(std::vector<ApplicationListCall>& calls) override {
    SqlStatement query(Db(), "SELECT call, client_id, app_type FROM application_list_calls ORDER BY seq;");
    return ReadRows(query, calls, [](const SqlStatement& row) {
      return ApplicationListCall{row.Text(0), row.Unsigned(1), row.Unsigned(2)};
    });
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
    return WriteBackupSet(OnTakenKey::kReplace, backupSet);
  }

  StateDbResult AddBackupSet(const BackupSetRecord& backupSet) override {
    return WriteBackupSet(OnTakenKey::kRefuse, backupSet);
  }

  StateDbResult WriteBackupSet(OnTakenKey onTaken, const BackupSetRecord& backupSet) {
    SqlStatement put(
        Db(), InsertInto(onTaken, "backup_sets (id, client_id, app_type, instance_id, name) VALUES (?, ?, ?, ?, ?);")
                  .c_str());
    put.BindUnsigned(1, backupSet.id)
        .BindUnsigned(2, backupSet.clientId)
        .BindUnsigned(3, backupSet.appType)
        .BindUnsigned(4, backupSet.instanceId)
        .Bind(5, backupSet.name);
    put.Run();
    return put.Result();
  }

  StateDbResult RacNodes(uint64_t instanceId, std::vector<uint64_t>& clientIds) override {
    SqlStatement query(Db(), "SELECT client_id FROM oracle_rac_nodes WHERE instance_id = ? ORDER BY position;");
    query.BindUnsigned(1, instanceId);
    return ReadRows(query, clientIds, ReadId);
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

  StateDbResult RacInstances(std::vector<uint64_t>& instanceIds) override {
    SqlStatement query(Db(), "SELECT DISTINCT instance_id FROM oracle_rac_nodes ORDER BY instance_id;");
    return ReadRows(query, instanceIds, ReadId);
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

  StateDbResult ClientsWithApplicationTypes(std::vector<uint64_t>& clientIds) override {
    SqlStatement query(Db(), "SELECT DISTINCT client_id FROM application_types ORDER BY client_id;");
    return ReadRows(query, clientIds, ReadId);
  }

  StateDbResult AllBackupSets(std::vector<BackupSetRecord>& backupSets) override {
    SqlStatement query(Db(), BACKUP_SET_COLUMNS "ORDER BY id;");
    return ReadRows(query, backupSets, ReadBackupSet);
  }

  StateDbResult AllInstances(std::vector<InstanceRecord>& instances) override {
    SqlStatement query(Db(), INSTANCE_COLUMNS "ORDER BY id;");
    return ReadRows(query, instances, ReadInstance);
  }
};

}  // namespace

ApplicationListBackend& ApplicationListBackend::Default() {
  static DatabaseApplicationList* backend = new DatabaseApplicationList();
  return *backend;
}

}  // namespace platform
