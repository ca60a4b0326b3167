// Verbs of the job service: jobs, what the job command recorded for them,
// and the VornServe host jobs are joined through.
#include <climits>
#include <cstdio>

#include "platform/harness/harness_reads.h"
#include "platform/harness/job_harness.h"
#include "verb.h"

namespace blbsim {
namespace {

int ShowJob(uint64_t jobId) {
  std::optional<platform::JobRecord> job = FindJob(jobId);
  if (!job) {
    std::fprintf(stderr, "blbsim: no job %llu\n", static_cast<unsigned long long>(jobId));
    return 1;
  }
  std::printf("job=%llu subclient=%llu:%llu level=%d conversions=%llu quit=%d token=%s\n",
              static_cast<unsigned long long>(job->jobId), static_cast<unsigned long long>(job->cellId),
              static_cast<unsigned long long>(job->appId), job->level,
              static_cast<unsigned long long>(job->conversions), JobQuitFlag(jobId) ? 1 : 0, job->token.c_str());
  std::vector<JobVolumeRecord> volumes;
  ThrowIfFailed(JobVolumes(jobId, volumes));
  for (const JobVolumeRecord& volume : volumes)
    std::printf("volume=%s device=%s fstype=%s snapshot=%s bitmap=%s force-full=%d\n", volume.volume.c_str(),
                volume.device.c_str(), volume.fsType.c_str(), volume.snapshot.c_str(), volume.bitmapFile.c_str(),
                volume.forceFull ? 1 : 0);
  for (const platform::JobClientCall& call : JobClientCalls(jobId))
    std::printf("call=%s %s\n", call.call.c_str(), call.succeeded ? "ok" : "failed");
  return 0;
}

int Job(const Args& args) {
  unsigned long long jobId = 0;
  if (args.size() == 2 && args[0] == "show" && ReadNumber(args[1], ULLONG_MAX, jobId)) return ShowJob(jobId);
  if (args.size() == 3 && args[0] == "quit" && ReadNumber(args[1], ULLONG_MAX, jobId) &&
      (args[2] == "on" || args[2] == "off")) {
    if (SetJobQuitFlag(jobId, args[2] == "on")) return 0;
    std::fprintf(stderr, "blbsim: no job %llu\n", jobId);
    return 1;
  }
  unsigned long long cell = 0, app = 0;
  int level = 0;
  if ((args.size() == 5 || args.size() == 6) && args[0] == "add" && ReadNumber(args[1], ULLONG_MAX, jobId) &&
      ReadNumber(args[2], ULLONG_MAX, cell) && ReadNumber(args[3], ULLONG_MAX, app) && ReadInt(args[4], level)) {
    platform::JobRecord job;
    job.jobId = jobId;
    job.cellId = cell;
    job.appId = app;
    job.level = level;
    if (args.size() == 6) job.token = args[5];
    // Adding a known job again keeps its conversions.
    if (std::optional<platform::JobRecord> known = FindJob(jobId)) job.conversions = known->conversions;
    return AddJob(job) ? 0 : 1;
  }
  return UsageError("job");
}

int VornServe(const Args& args) {
  if (args.empty()) {
    std::printf("%s\n", VornServeHost().value_or("").c_str());
    return 0;
  }
  if (args.size() == 1) return SetVornServeHost(args[0] == "clear" ? std::string() : args[0]) ? 0 : 1;
  return UsageError("vornserve");
}

const VerbRegistration kJobVerbs({
    {"job", "add JOB CELL APP LEVEL [TOKEN] | quit JOB on|off | show JOB",
     "jobs of the job service; quit: set or clear the job's quit flag; show: level, conversions, the volumes the job "
     "command recorded and the job "
     "clients' calls",
     Job},
    {"vornserve", "[HOST | clear]", "the VornServe host jobs are joined through: print, set or clear it", VornServe},
});

}  // namespace
}  // namespace blbsim
