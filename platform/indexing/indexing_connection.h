#pragma once
// The backup index's indexing connection of a job. Simulated, each
// initialize opens a connection record in the simulated index (its
// arguments as "cell,app,type,level,token,QM,host,flags", the job whose
// token it names, 0 for none) and backupDone marks it done
// ("index_connections", `blbsim index connections`).
//
// The items a job publishes (archive-file announcements, metadata, the
// index-metadata message, item headers, restart points) are appended in
// order to the connection's job, one text line each, and backupDone appends
// "done" (`blbsim index items JOB`). An item sent without an open
// connection fails with 87.
//
// Faults: "IndexingConnection::initialize", "IndexingConnection::backupDone",
// "IndexingConnection::sendAfileInfo", "IndexingConnection::sendMetaDataInfo",
// "IndexingConnection::sendFileInfo", "IndexingConnection::updateRestartInfo"
// (the call answers the fault's code).
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/backend.h"
#include "platform/messages/service_messages.h"
#include "platform/services/archive_manager.h"
#include "platform/services/cx_file_header.h"
#include "platform/sim/state_db_failure.h"

// The head of one metadata item: its marker, version, tag and the value's
// length in characters. The index service reads the length word as sent;
// the simulation records it and stores the value as given.
struct IndexMetaDataStruct {
  static constexpr uint32_t kMarker = 0x5599AA44;
  uint32_t marker = kMarker;
  uint32_t version = 1;
  uint32_t tag = 0;
  uint32_t reserved = 0;
  uint32_t length = 0;
};

class IndexingConnection {
 public:
  // 0, or non-zero when the connection cannot be opened.
  int initialize(uint32_t cellId, uint32_t appId, uint32_t appType, int level, const std::string& jobToken,
                 const std::string& storageServer, const std::string& hostName, uint32_t flags);
  // Closes the job's index: 0, or non-zero (87 without a connection).
  int backupDone(int status);
  bool IsConnected() const { return m_nConnection != 0; }

  // Each: 0, or non-zero when the item is refused (87 without a connection).
  int sendAfileInfo(const ArchiveFileId_t& afile, bool flag, uint64_t createTime, uint32_t afileFlags);
  int sendMetaDataInfo(const IndexMetaDataStruct& head, const std::string& value);
  int sendMetaDataInfo(const IdxMetadata::IdxMetaData& metadata);
  // The header is read at its wire offsets; reserved and stream are unused.
  int sendFileInfo(const CXFileHeader* header, int reserved, const void* stream, int streamFlags);
  int updateRestartInfo(uint64_t restartPoint);

 private:
  int Append(const std::string& line);

  long long m_nConnection = 0;
};

namespace platform {

struct IndexConnectionRecord {
  long long id = 0;
  uint64_t jobId = 0;  // the job the token names; 0 when none
  std::string arguments;
  bool done = false;
};

// The readers return done (nothing found included) or why the read failed.
class IndexConnectionBackend {
 public:
  virtual ~IndexConnectionBackend() = default;
  // The new connection's id (0: not opened, also when the token's job
  // cannot be read).
  virtual long long Open(const std::string& jobToken, const std::string& arguments) = 0;
  virtual bool MarkDone(long long connection) = 0;
  virtual StateDbResult Connections(std::vector<IndexConnectionRecord>& connections) = 0;
  // Appends one item line to the connection's job; false when refused.
  virtual bool AppendItem(long long connection, const std::string& line) = 0;
  // The item lines of a job, in the order they were sent.
  virtual StateDbResult Items(uint64_t jobId, std::vector<std::string>& lines) = 0;
  // Every job's item lines as (job, line), by job and order; an item added
  // without a connection (a seed).
  virtual StateDbResult AllItems(std::vector<std::pair<uint64_t, std::string>>& items) {
    items.clear();
    return StateDbResult();
  }
  virtual bool PutItem(uint64_t, const std::string&) { return false; }

  static IndexConnectionBackend& Default();
};

using IndexConnections = Backend<IndexConnectionBackend>;

}  // namespace platform
