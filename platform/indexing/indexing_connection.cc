#include "platform/indexing/indexing_connection.h"

#include "platform/sim/fault_table.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

class DatabaseIndexConnections : public IndexConnectionBackend {
 public:
  long long Open(const std::string& jobToken, const std::string& arguments) override {
    StateDb& db = StateDb::Current();
    std::lock_guard<std::recursive_mutex> hold(db.Mutex());
    uint64_t jobId = 0;
    if (!jobToken.empty()) {
      SqlStatement job(db, "SELECT job_id FROM jobs WHERE token = ? ORDER BY job_id DESC LIMIT 1;");
      job.Bind(1, jobToken);
      if (job.Step()) jobId = job.Unsigned(0);
    }
    SqlStatement put(db, "INSERT INTO index_connections (job_id, arguments) VALUES (?, ?);");
    if (!put.BindUnsigned(1, jobId).Bind(2, arguments).Run()) return 0;
    return db.LastInsertId();
  }

  bool MarkDone(long long connection) override {
    SqlStatement update(StateDb::Current(), "UPDATE index_connections SET done = 1 WHERE seq = ?;");
    return update.Bind(1, connection).Run();
  }

  std::vector<IndexConnectionRecord> Connections() override {
    std::vector<IndexConnectionRecord> found;
    SqlStatement query(StateDb::Current(), "SELECT seq, job_id, arguments, done FROM index_connections ORDER BY seq;");
    while (query.Step()) found.push_back({query.Int(0), query.Unsigned(1), query.Text(2), query.Int(3) != 0});
    return found;
  }
};

}  // namespace

IndexConnectionBackend& IndexConnectionBackend::Default() {
  static DatabaseIndexConnections* backend = new DatabaseIndexConnections();
  return *backend;
}

}  // namespace platform

int IndexingConnection::initialize(uint32_t cellId, uint32_t appId, uint32_t appType, int level,
                                   const std::string& jobToken, const std::string& storageServer,
                                   const std::string& hostName, uint32_t flags) {
  int code = 0;
  if (platform::InjectedFaultCode("IndexingConnection::initialize", code)) return code != 0 ? code : -1;
  const std::string arguments = std::to_string(cellId) + "," + std::to_string(appId) + "," + std::to_string(appType) +
                                "," + std::to_string(level) + "," + jobToken + "," + storageServer + "," + hostName +
                                "," + std::to_string(flags);
  m_nConnection = platform::IndexConnections::Current().Open(jobToken, arguments);
  return m_nConnection != 0 ? 0 : 1627;
}

int IndexingConnection::backupDone(int) {
  int code = 0;
  if (platform::InjectedFaultCode("IndexingConnection::backupDone", code)) return code != 0 ? code : -1;
  if (m_nConnection == 0) return 87;
  return platform::IndexConnections::Current().MarkDone(m_nConnection) ? 0 : 1627;
}
