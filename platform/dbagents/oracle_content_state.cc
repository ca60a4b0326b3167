// The simulated Oracle agent's files, statuses and request log in the state database.
#include "platform/dbagents/oracle_content.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

StateDb& Db() { return StateDb::Current(); }

std::vector<OracleFileRecord> ReadFiles(SqlStatement& query) {
  std::vector<OracleFileRecord> files;
  while (query.Step()) {
    OracleFileRecord file;
    file.instanceId = query.Unsigned(0);
    file.pdb = query.Text(1);
    file.tableSpace = query.Text(2);
    file.path = query.Text(3);
    files.push_back(file);
  }
  return files;
}

class DatabaseOracleContent : public OracleContentBackend {
 public:
  std::vector<OracleFileRecord> Files(uint64_t instanceId) override {
    SqlStatement query(Db(), "SELECT instance_id, pdb, table_space, path FROM oracle_files WHERE instance_id = ? ORDER BY seq;");
    query.BindUnsigned(1, instanceId);
    return ReadFiles(query);
  }

  int64_t Status(uint64_t instanceId) override {
    SqlStatement query(Db(), "SELECT status FROM oracle_status WHERE instance_id = ?;");
    query.BindUnsigned(1, instanceId);
    return query.Step() ? query.Int(0) : 0;
  }

  void RecordRequest(const OracleContentRequest& request) override {
    SqlStatement put(Db(), "INSERT INTO oracle_requests (app_type, instance_id, app_id, kind) VALUES (?, ?, ?, ?);");
    put.Bind(1, request.appType).Bind(2, request.instanceId).Bind(3, request.appId).Bind(4, request.kind).Run();
  }

  std::vector<OracleContentRequest> Requests() override {
    std::vector<OracleContentRequest> requests;
    SqlStatement query(Db(), "SELECT app_type, instance_id, app_id, kind FROM oracle_requests ORDER BY seq;");
    while (query.Step()) {
      OracleContentRequest request;
      request.appType = static_cast<uint32_t>(query.Int(0));
      request.instanceId = query.Int(1);
      request.appId = query.Int(2);
      request.kind = query.Int(3);
      requests.push_back(request);
    }
    return requests;
  }

  bool AddFile(const OracleFileRecord& file) override {
    SqlStatement put(Db(), "INSERT INTO oracle_files (instance_id, pdb, table_space, path) VALUES (?, ?, ?, ?) "
                           "ON CONFLICT (instance_id, path) DO UPDATE SET pdb = excluded.pdb, "
                           "table_space = excluded.table_space;");
    return put.BindUnsigned(1, file.instanceId).Bind(2, file.pdb).Bind(3, file.tableSpace).Bind(4, file.path).Run();
  }

  bool SetStatus(uint64_t instanceId, int64_t status) override {
    SqlStatement put(Db(), "INSERT OR REPLACE INTO oracle_status (instance_id, status) VALUES (?, ?);");
    return put.BindUnsigned(1, instanceId).Bind(2, status).Run();
  }

  std::vector<OracleFileRecord> AllFiles() override {
    SqlStatement query(Db(), "SELECT instance_id, pdb, table_space, path FROM oracle_files ORDER BY seq;");
    return ReadFiles(query);
  }

  std::vector<std::pair<uint64_t, int64_t>> Statuses() override {
    std::vector<std::pair<uint64_t, int64_t>> statuses;
    SqlStatement query(Db(), "SELECT instance_id, status FROM oracle_status WHERE status != 0 ORDER BY instance_id;");
    while (query.Step()) statuses.emplace_back(query.Unsigned(0), query.Int(1));
    return statuses;
  }
};

}  // namespace

OracleContentBackend& OracleContentBackend::Default() {
  static DatabaseOracleContent* backend = new DatabaseOracleContent();
  return *backend;
}

}  // namespace platform
