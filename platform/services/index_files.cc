#include "platform/services/index_files.h"

#include <fnmatch.h>

#include "platform/services/host_name.h"
#include "platform/settings/settings.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

const char* kColumns = "host, cell_id, app_id, job_id, name, stored_time";

IndexFileRecord Read(const SqlStatement& row) {
  IndexFileRecord record;
  record.host = row.Text(0);
  record.cellId = row.Unsigned(1);
  record.appId = row.Unsigned(2);
  record.jobId = row.Unsigned(3);
  record.name = row.Text(4);
  record.storedTime = row.Unsigned(5);
  return record;
}

class FolderIndexStore : public IndexStoreBackend {
 public:
  bool Put(const IndexFileRecord& record, const std::string& contents) override {
    if (!IsUsableHostName(record.host) || !IsPlainName(record.name)) return false;
    const std::string path = PathOf(record);
    if (!MakeDirectoriesDurably(ParentOf(path)) || !WriteFileAtomically(path, contents)) return false;
    SqlStatement put(
        StateDb::Current(),
        (std::string("INSERT OR REPLACE INTO index_files (") + kColumns + ") VALUES (?, ?, ?, ?, ?, ?);").c_str());
    put.Bind(1, record.host)
        .BindUnsigned(2, record.cellId)
        .BindUnsigned(3, record.appId)
        .BindUnsigned(4, record.jobId)
        .Bind(5, record.name)
        .BindUnsigned(6, record.storedTime);
    return put.Run();
  }

  StateDbResult All(std::vector<IndexFileRecord>& records) override {
    SqlStatement query(StateDb::Current(), (std::string("SELECT ") + kColumns +
                                            " FROM index_files ORDER BY host, cell_id, app_id, job_id, name;")
                                               .c_str());
    return ReadRows(query, records, Read);
  }

  StateDbResult Visible(const std::string& host, uint64_t cellId, uint64_t appId, uint64_t jobId,
                        uint64_t referenceTime, std::vector<IndexFileRecord>& records) override {
    SqlStatement query(StateDb::Current(),
                       (std::string("SELECT ") + kColumns +
                        " FROM index_files WHERE host = ? AND cell_id = ? AND app_id = ? AND job_id = ? "
                        "AND stored_time <= ? ORDER BY name;")
                           .c_str());
    query.Bind(1, host).BindUnsigned(2, cellId).BindUnsigned(3, appId).BindUnsigned(4, jobId);
    query.BindUnsigned(5, referenceTime);
    return ReadRows(query, records, Read);
  }

  std::string PathOf(const IndexFileRecord& record) override {
    return Settings::StatePath("index/" + record.host + "/" + std::to_string(record.cellId) + "/" +
                               std::to_string(record.appId) + "/" + std::to_string(record.jobId) + "/" + record.name);
  }
};

}  // namespace

bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool MatchesAny(const std::list<std::string>& patterns, const std::string& name) {
  for (const std::string& pattern : patterns)
    if (::fnmatch(pattern.c_str(), name.c_str(), 0) == 0) return true;
  return false;
}

IndexStoreBackend& IndexStoreBackend::Default() {
  static FolderIndexStore* backend = new FolderIndexStore();
  return *backend;
}

}  // namespace platform

int GetIndexFiles(const std::string& host, unsigned cellId, unsigned appId, unsigned referenceTime, long long jobId,
                  unsigned, unsigned, const std::string& destination, const std::list<std::string>* patterns, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("GetIndexFiles", code)) return code;
  if (!platform::IsUsableHostName(host) || destination.empty() || patterns == nullptr || patterns->empty() ||
      jobId <= 0 || referenceTime == 0)
    return -1;
  platform::IndexStoreBackend& store = platform::IndexStore::Current();
  std::vector<platform::IndexFileRecord> visible;
  if (!store.Visible(host, cellId, appId, static_cast<uint64_t>(jobId), referenceTime, visible)) return -2;
  for (const platform::IndexFileRecord& record : visible) {
    if (!platform::MatchesAny(*patterns, record.name)) continue;
    // The table can be edited by hand: a name that is not a plain file name
    // would read or write outside the store and the destination.
    if (!platform::IsPlainName(record.name)) return -2;
    std::string contents;
    if (!platform::ReadWholeFile(store.PathOf(record), contents)) return -2;
    if (!platform::WriteFileAtomically(destination + "/" + record.name, contents)) return -2;
  }
  return 0;
}
