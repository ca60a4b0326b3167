#pragma once
// The job arguments checked before the library parses them. The library
// reads them as the agent's would ("-j 12x" as job 12, "-lsjid abc" as no
// last job at all, "-j -5" as a job id near 2^64), which by hand runs
// another job than the one meant, or an incremental against nothing. So the
// job command takes only whole decimal numbers, within what the library and
// the services can carry, for the values it and the library read:
//
//   -a CELL:APP   each up to 4294967295 (2^32-1): the subclient's
//                 job-results directory is looked up by their low 32 bits
//   -j, -snapJID  up to 9223372036854775807 (2^63-1): the scan reads the
//   -lsjid        last completed job ("-lsjid") as a signed 64-bit number,
//                 so a job above it could never be a later job's last one
//   -t            a number (the library takes 1, 2 or 4)
#include <cstdint>
#include <string>

#include "verbs/verb.h"

namespace blbjob {

constexpr uint64_t kLargestJobId = INT64_MAX;
constexpr uint64_t kLargestSubclientId = UINT32_MAX;

// False, with what is wrong in `why`, for a value above that is not a whole
// decimal number within its limit, or a "-lsjid" without one.
bool CheckJobArguments(const tools::Args& args, std::string& why);

// What keeps the library's parser from taking job arguments that passed
// CheckJobArguments: an option without its value, an id of 0, a level it
// does not take (-t 3), no storage server; else that they name no job.
std::string WhyNoJob(const tools::Args& args);

}  // namespace blbjob
