#pragma once
// What every blbjob verb shares: its options apart from the job arguments,
// the job's identity, and the job as the simulated services know it.
//
// Per job, the verbs keep what a later phase needs in the job service's
// records (platform/harness/job_harness.h): the job's level and conversions,
// and each volume snapshotted with its device, snapshot, bitmap file and
// force-full flag. `blbsim job show JOB` prints them.
#include <string>

#include "records/tarvos_job_info.h"
#include "verbs/verb.h"

namespace blbjob {

struct Command {
  tools::Args options;  // before "--"
  tools::Args jobArgs;  // after it, unchanged
  TarvosJobInfo job;    // parsed from jobArgs
};

// Splits the verb's arguments at "--" and parses the job arguments with the
// library's own checks, after the job command's own of the numbers
// (job_arguments.h). False, with what is wrong in `why` (the verb's usage
// error), when there is no "--", a number is wrong or the job arguments do
// not name a job.
bool ReadCommand(const tools::Args& args, Command& command, std::string& why);

// Adds the job's subclient (block-level, of this machine's client), its
// job-results directory and the job itself to the simulated services unless
// they are there. A failure names its cause (a full disk, the file).
CQiError EnsureJobKnown(const Command& command);
// The same, telling a failure on stderr; false then.
bool EnsureJobKnownOrSay(const Command& command);
// Records in the job service that a phase of the job ended now: the job's
// window (from its start to its last phase's end) is what a later pseudo-snap
// job carries its index forward over. False, told on stderr, when it cannot.
bool RecordPhaseEnd(uint64_t jobId);

}  // namespace blbjob
