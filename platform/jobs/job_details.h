#pragma once
// What the job manager keeps of a job beside its row: its backup attributes
// (a bit word) and its backup-details blob. Simulated, each is a file of the
// state directory, "jobs/<job>/attributes" (decimal) and "jobs/<job>/xml_blob",
// written whole through a renamed temporary (`blbsim job attributes`,
// `blbsim job blob`).
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// Nothing when the job has none.
std::optional<uint64_t> JobAttributes(uint64_t jobId);
bool SetJobAttributes(uint64_t jobId, uint64_t attributes);
std::optional<std::string> JobXmlBlob(uint64_t jobId);
bool SetJobXmlBlob(uint64_t jobId, const std::string& blob);

}  // namespace platform
