#include "platform/harness/snap_harness.h"

#include "platform/harness/harness_reads.h"

namespace blbsim {

bool AddSnapRecord(const std::string& text, std::string& why) {
  SMVolSnapInfo record;
  if (!SMVolSnapInfo::FromText(text, record, why)) return false;
  if (platform::SnapshotLibrary::Current().PutRecord(record)) return true;
  why = "the state database refused the record";
  return false;
}

platform::StateDbResult FindSnapRecord(uint64_t jobId, std::optional<uint32_t> cellId,
                                       std::optional<SMVolSnapInfo>& record) {
  record.reset();
  platform::SnapshotLibraryBackend& library = platform::SnapshotLibrary::Current();
  if (cellId) return library.FindRecord(*cellId, jobId, record);
  std::vector<SMVolSnapInfo> records;
  const platform::StateDbResult read = library.Records(records);
  for (const SMVolSnapInfo& stored : records)
    if (stored.getJobId() == jobId) {
      record = stored;
      break;
    }
  return read;
}

std::optional<SMVolSnapInfo> FindSnapRecord(uint64_t jobId, std::optional<uint32_t> cellId) {
  return ReadOrThrow<std::optional<SMVolSnapInfo>>(
      [&](std::optional<SMVolSnapInfo>& record) { return FindSnapRecord(jobId, cellId, record); });
}

std::vector<platform::SnapServiceCall> SnapCalls() {
  return ReadOrThrow<std::vector<platform::SnapServiceCall>>(
      [](std::vector<platform::SnapServiceCall>& calls) { return platform::SnapshotLibrary::Current().Calls(calls); });
}

std::vector<platform::IndexConnectionRecord> IndexConnectionRecords() {
  return ReadOrThrow<std::vector<platform::IndexConnectionRecord>>(
      [](std::vector<platform::IndexConnectionRecord>& connections) {
        return platform::IndexConnections::Current().Connections(connections);
      });
}

platform::StateDbResult IndexItems(uint64_t jobId, std::vector<std::string>& lines) {
  return platform::IndexConnections::Current().Items(jobId, lines);
}

std::vector<std::string> IndexItems(uint64_t jobId) {
  return ReadOrThrow<std::vector<std::string>>(
      [jobId](std::vector<std::string>& lines) { return IndexItems(jobId, lines); });
}

}  // namespace blbsim
