// The simulated Oracle agent's files, statuses and request log in the state database.
#include <optional>
#include <utility>

#include "platform/dbagents/oracle_content.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

StateDb& Db() {
  return StateDb::Current();
}

OracleFileRecord ReadFile(const SqlStatement& row) {
  OracleFileRecord file;
  file.instanceId = row.Unsigned(0);
  file.pdb = row.Text(1);
  file.tableSpace = row.Text(2);
  file.path = row.Text(3);
  return file;
}

class DatabaseOracleContent : public OracleContentBackend {
 public:
  StateDbResult Files(uint64_t instanceId, std::vector<OracleFileRecord>& files) override {
    SqlStatement query(
        Db(), "SELECT instance_id, pdb, table_space, path FROM oracle_files WHERE instance_id = ? ORDER BY seq;");
    query.BindUnsigned(1, instanceId);
    return ReadRows(query, files, ReadFile);
  }

  StateDbResult Status(uint64_t instanceId, int64_t& status) override {
    SqlStatement query(Db(), "SELECT status FROM oracle_status WHERE instance_id = ?;");
    query.BindUnsigned(1, instanceId);
    std::optional<int64_t> found;
    const StateDbResult read = ReadFirstRow(query, found, [](const SqlStatement& row) { return row.Int(0); });
    status = found.value_or(0);
    return read;
  }

  void RecordRequest(const OracleContentRequest& request) override {
    SqlStatement put(Db(), "INSERT INTO oracle_requests (app_type, instance_id, app_id, kind) VALUES (?, ?, ?, ?);");
    put.Bind(1, request.appType).Bind(2, request.instanceId).Bind(3, request.appId).Bind(4, request.kind).Run();
  }

  StateDbResult Requests(std::vector<OracleContentRequest>& requests) override {
    SqlStatement query(Db(), "SELECT app_type, instance_id, app_id, kind FROM oracle_requests ORDER BY seq;");
    return ReadRows(query, requests, [](const SqlStatement& row) {
      OracleContentRequest request;
      request.appType = static_cast<uint32_t>(row.Int(0));
      request.instanceId = row.Int(1);
      request.appId = row.Int(2);
      request.kind = row.Int(3);
      return request;
    });
  }

  bool AddFile(const OracleFileRecord& file) override {
    SqlStatement put(Db(),
                     "INSERT INTO oracle_files (instance_id, pdb, table_space, path) VALUES (?, ?, ?, ?) "
                     "ON CONFLICT (instance_id, path) DO UPDATE SET pdb = excluded.pdb, "
                     "table_space = excluded.table_space;");
    return put.BindUnsigned(1, file.instanceId).Bind(2, file.pdb).Bind(3, file.tableSpace).Bind(4, file.path).Run();
  }

  bool SetStatus(uint64_t instanceId, int64_t status) override {
    SqlStatement put(Db(), "INSERT OR REPLACE INTO oracle_status (instance_id, status) VALUES (?, ?);");
    return put.BindUnsigned(1, instanceId).Bind(2, status).Run();
  }

  StateDbResult AllFiles(std::vector<OracleFileRecord>& files) override {
    SqlStatement query(Db(), "SELECT instance_id, pdb, table_space, path FROM oracle_files ORDER BY seq;");
    return ReadRows(query, files, ReadFile);
  }

  StateDbResult Statuses(std::vector<std::pair<uint64_t, int64_t>>& statuses) override {
    SqlStatement query(Db(), "SELECT instance_id, status FROM oracle_status WHERE status != 0 ORDER BY instance_id;");
    return ReadRows(query, statuses,
                    [](const SqlStatement& row) { return std::make_pair(row.Unsigned(0), row.Int(1)); });
  }
};

}  // namespace

OracleContentBackend& OracleContentBackend::Default() {
  static DatabaseOracleContent* backend = new DatabaseOracleContent();
  return *backend;
}

}  // namespace platform
