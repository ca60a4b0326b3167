#include "platform/harness/snap_harness.h"

namespace blbsim {

bool AddSnapRecord(const std::string& text, std::string& why) {
  SMVolSnapInfo record;
  if (!SMVolSnapInfo::FromText(text, record, why)) return false;
  if (platform::SnapshotLibrary::Current().PutRecord(record)) return true;
  why = "the state database refused the record";
  return false;
}

std::optional<SMVolSnapInfo> FindSnapRecord(uint64_t jobId, std::optional<uint32_t> cellId) {
  platform::SnapshotLibraryBackend& library = platform::SnapshotLibrary::Current();
  if (cellId) return library.FindRecord(*cellId, jobId);
  for (const SMVolSnapInfo& record : library.Records())
    if (record.getJobId() == jobId) return record;
  return std::nullopt;
}

std::vector<platform::SnapServiceCall> SnapCalls() {
  return platform::SnapshotLibrary::Current().Calls();
}

std::vector<platform::IndexConnectionRecord> IndexConnectionRecords() {
  return platform::IndexConnections::Current().Connections();
}

std::vector<std::string> IndexItems(uint64_t jobId) {
  return platform::IndexConnections::Current().Items(jobId);
}

}  // namespace blbsim
