#pragma once
// The backup index's indexing connection of a job. Simulated, each
// initialize opens a connection record in the simulated index (its
// arguments as "cell,app,type,level,token,QM,host,flags", the job whose
// token it names, 0 for none) and backupDone marks it done
// ("index_connections", `blbsim index connections`).
//
// Faults: "IndexingConnection::initialize", "IndexingConnection::backupDone"
// (the call answers the fault's code).
#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/backend.h"

class IndexingConnection {
 public:
  // 0, or non-zero when the connection cannot be opened.
  int initialize(uint32_t cellId, uint32_t appId, uint32_t appType, int level, const std::string& jobToken,
                 const std::string& storageServer, const std::string& hostName, uint32_t flags);
  // Closes the job's index: 0, or non-zero (87 without a connection).
  int backupDone(int status);
  bool IsConnected() const { return m_nConnection != 0; }

 private:
  long long m_nConnection = 0;
};

namespace platform {

struct IndexConnectionRecord {
  long long id = 0;
  uint64_t jobId = 0;  // the job the token names; 0 when none
  std::string arguments;
  bool done = false;
};

class IndexConnectionBackend {
 public:
  virtual ~IndexConnectionBackend() = default;
  // The new connection's id (0: not opened).
  virtual long long Open(const std::string& jobToken, const std::string& arguments) = 0;
  virtual bool MarkDone(long long connection) = 0;
  virtual std::vector<IndexConnectionRecord> Connections() = 0;

  static IndexConnectionBackend& Default();
};

using IndexConnections = Backend<IndexConnectionBackend>;

}  // namespace platform
