#pragma once
// Seeding and inspection of the simulated job-info metadata: jobs' container
// files and job records, and the cumulative bitmaps a scan leaves, stored
// into its job's container as the agent does after the scan.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/jobinfo/job_info_metadata.h"

namespace blbsim {

// The container the agent stores a job's cumulative bitmaps in, and the
// folder of the job-results directory that the scan leaves them in.
constexpr const char* kCumulativeBitmapContainer = "BlockLevelCumulativeBM";

// Puts a file into a job's container under any non-empty name (the service
// keeps names as given): from bytes, or from a file of this machine. Why
// not, when it could not.
platform::StateDbResult PutJobInfoFile(uint64_t jobId, const std::string& container, const std::string& name,
                                       const std::string& contents);
platform::StateDbResult PutJobInfoFileFrom(uint64_t jobId, const std::string& container, const std::string& name,
                                           const std::string& sourcePath);
std::vector<platform::JobInfoFileRecord> JobInfoFiles();
// Writes a file of a job's container to a path; false when there is none.
bool GetJobInfoFile(uint64_t jobId, const std::string& container, const std::string& name,
                    const std::string& destination);
bool SetJobInfoJob(const platform::JobInfoJobRecord& job);
std::optional<platform::JobInfoJobRecord> FindJobInfoJob(uint64_t jobId);

// Stores each "<component>_CumulativeV2.bmp" of the job-results folder's
// "BlockLevelCumulativeBM" into the job's container of that name as a 7-Zip
// archive "<component>_CumulativeV2.bmp.7z". The names stored, in name
// order; nothing, with the reason, when one could not be stored.
std::optional<std::vector<std::string>> StoreCumulativeBitmaps(uint64_t jobId, const std::string& jobResultsDir,
                                                               std::string* why);

}  // namespace blbsim
