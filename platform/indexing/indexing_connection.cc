#include "platform/indexing/indexing_connection.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/sim/fault_table.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

class DatabaseIndexConnections : public IndexConnectionBackend {
 public:
  long long Open(const std::string& jobToken, const std::string& arguments) override {
    StateDb& db = StateDb::Current();
    std::lock_guard<std::recursive_mutex> hold(db.Mutex());
    std::optional<uint64_t> jobId;
    if (!jobToken.empty()) {
      SqlStatement job(db, "SELECT job_id FROM jobs WHERE token = ? ORDER BY job_id DESC LIMIT 1;");
      job.Bind(1, jobToken);
      // A connection is never opened for no job when the job could not be read.
      if (!ReadFirstRow(job, jobId, ReadId)) return 0;
    }
    SqlStatement put(db, "INSERT INTO index_connections (job_id, arguments) VALUES (?, ?);");
    if (!put.BindUnsigned(1, jobId.value_or(0)).Bind(2, arguments).Run()) return 0;
    return db.LastInsertId();
  }

  bool MarkDone(long long connection) override {
    SqlStatement update(StateDb::Current(), "UPDATE index_connections SET done = 1 WHERE seq = ?;");
    return update.Bind(1, connection).Run();
  }

  StateDbResult Connections(std::vector<IndexConnectionRecord>& connections) override {
    SqlStatement query(StateDb::Current(), "SELECT seq, job_id, arguments, done FROM index_connections ORDER BY seq;");
    return ReadRows(query, connections, [](const SqlStatement& row) {
      return IndexConnectionRecord{row.Int(0), row.Unsigned(1), row.Text(2), row.Int(3) != 0};
    });
  }

  bool AppendItem(long long connection, const std::string& line) override {
    StateDb& db = StateDb::Current();
    std::lock_guard<std::recursive_mutex> hold(db.Mutex());
    SqlStatement open(db, "SELECT job_id FROM index_connections WHERE seq = ? AND done = 0;");
    open.Bind(1, connection);
    std::optional<uint64_t> jobId;
    if (!ReadFirstRow(open, jobId, ReadId) || !jobId) return false;
    SqlStatement put(db, "INSERT INTO index_items (connection, job_id, line) VALUES (?, ?, ?);");
    return put.Bind(1, connection).BindUnsigned(2, *jobId).Bind(3, line).Run();
  }

  StateDbResult AllItems(std::vector<std::pair<uint64_t, std::string>>& items) override {
    SqlStatement query(StateDb::Current(), "SELECT job_id, line FROM index_items ORDER BY job_id, seq;");
    return ReadRows(query, items, [](const SqlStatement& row) { return std::make_pair(row.Unsigned(0), row.Text(1)); });
  }

  bool PutItem(uint64_t jobId, const std::string& line) override {
    SqlStatement put(StateDb::Current(), "INSERT INTO index_items (connection, job_id, line) VALUES (0, ?, ?);");
    return put.BindUnsigned(1, jobId).Bind(2, line).Run();
  }

  StateDbResult Items(uint64_t jobId, std::vector<std::string>& lines) override {
    SqlStatement query(StateDb::Current(), "SELECT line FROM index_items WHERE job_id = ? ORDER BY seq;");
    query.BindUnsigned(1, jobId);
    return ReadRows(query, lines, [](const SqlStatement& row) { return row.Text(0); });
  }

 private:
  static uint64_t ReadId(const SqlStatement& row) { return row.Unsigned(0); }
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
  if (!platform::IndexConnections::Current().AppendItem(m_nConnection, "done")) return 1627;
  return platform::IndexConnections::Current().MarkDone(m_nConnection) ? 0 : 1627;
}

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  return buffer;
}

}  // namespace

int IndexingConnection::Append(const std::string& line) {
  if (m_nConnection == 0) return 87;
  return platform::IndexConnections::Current().AppendItem(m_nConnection, line) ? 0 : 1627;
}

int IndexingConnection::sendAfileInfo(const ArchiveFileId_t& afile, bool flag, uint64_t createTime,
                                      uint32_t afileFlags) {
  int code = 0;
  if (platform::InjectedFaultCode("IndexingConnection::sendAfileInfo", code)) return code != 0 ? code : -1;
  return Append(Format("afile cell=%u group=%u afile=%u flag=%d time=%" PRIu64 " flags=0x%x", afile.cellId,
                       afile.archiveGroupNumber, afile.archiveFileNumber, flag ? 1 : 0, createTime, afileFlags));
}

int IndexingConnection::sendMetaDataInfo(const IndexMetaDataStruct& head, const std::string& value) {
  int code = 0;
  if (platform::InjectedFaultCode("IndexingConnection::sendMetaDataInfo", code)) return code != 0 ? code : -1;
  return Append(Format("meta tag=0x%X len=%u value=", head.tag, head.length) + value);
}

int IndexingConnection::sendMetaDataInfo(const IdxMetadata::IdxMetaData& metadata) {
  int code = 0;
  if (platform::InjectedFaultCode("IndexingConnection::sendMetaDataInfo", code)) return code != 0 ? code : -1;
  return Append("idxmeta " + metadata.toString());
}

int IndexingConnection::sendFileInfo(const CXFileHeader* header, int, const void*, int) {
  if (header == nullptr) return 87;
  const std::string name(header->h_filename, strnlen(header->h_filename, sizeof header->h_filename));
  int code = 0;
  if (platform::InjectedFaultCode("IndexingConnection::sendFileInfo", code)) return code != 0 ? code : -1;
  return Append("header name=" + name +
                Format(" namelen=%u links=%u mode=0x%" PRIx64 " attrs=0x%" PRIx64 " size=%" PRIu64
                       " delim=%u opts=0x%x os=%u",
                       header->h_namelen, header->h_nlink, header->h_mode, header->h_attributes, header->h_filesize,
                       header->h_delimiter, header->h_options & 0xFF, header->h_clientOS));
}

int IndexingConnection::updateRestartInfo(uint64_t restartPoint) {
  int code = 0;
  if (platform::InjectedFaultCode("IndexingConnection::updateRestartInfo", code)) return code != 0 ? code : -1;
  return Append(Format("restart 0x%" PRIx64, restartPoint));
}
