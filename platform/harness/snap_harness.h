#pragma once
// Seeding and inspection of the snapshot service (blbsim snap ...): the
// volume-snap records of jobs in their text form (sm_vol_snap_info.h), the
// snap engines and the log of the service's calls; and the indexing
// connections jobs opened.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/indexing/indexing_connection.h"
#include "platform/snapshot/snap_client_api.h"

namespace blbsim {

// Stores a record given in its text form under its cell and job, replacing
// one there; false with the reason for a text that is no record.
bool AddSnapRecord(const std::string& text, std::string& why);
// The job's record (of the given cell, else of the lowest cell holding one).
// The readers without a result throw for a read that failed
// (harness_reads.h); the job command uses those with one.
platform::StateDbResult FindSnapRecord(uint64_t jobId, std::optional<uint32_t> cellId,
                                       std::optional<SMVolSnapInfo>& record);
std::optional<SMVolSnapInfo> FindSnapRecord(uint64_t jobId, std::optional<uint32_t> cellId = std::nullopt);
std::vector<platform::SnapServiceCall> SnapCalls();
std::vector<platform::IndexConnectionRecord> IndexConnectionRecords();
// The item lines a job published over its connections, in order.
platform::StateDbResult IndexItems(uint64_t jobId, std::vector<std::string>& lines);
std::vector<std::string> IndexItems(uint64_t jobId);

}  // namespace blbsim
