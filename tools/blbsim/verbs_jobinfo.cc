// The job-info metadata's verb: files of jobs' containers, jobs' records,
// and a scan's cumulative bitmaps stored into its job's container.
#include <climits>
#include <cstdio>

#include "platform/harness/job_info_harness.h"
#include "platform/text/fx_string.h"
#include "verb.h"

namespace blbsim {
namespace {

int List(const Args& args) {
  if (args.size() > 3 || !NumbersFrom(args, 1, 1)) return UsageError("jobinfo");
  for (const platform::JobInfoFileRecord& file : JobInfoFiles()) {
    if (args.size() > 1 && file.jobId != Number(args[1])) continue;
    if (args.size() > 2 && file.container != args[2]) continue;
    std::printf("job=%llu %s/%s bytes=%llu stored=%llu\n", static_cast<unsigned long long>(file.jobId),
                file.container.c_str(), file.name.c_str(), static_cast<unsigned long long>(file.size),
                static_cast<unsigned long long>(file.storedTime));
  }
  return 0;
}

int StoreCumulative(const Args& args) {
  if (args.size() != 3 || !NumbersFrom(args, 1, 1)) return UsageError("jobinfo");
  std::string why;
  std::optional<std::vector<std::string>> stored = StoreCumulativeBitmaps(Number(args[1]), args[2], &why);
  if (!stored) {
    std::fprintf(stderr, "blbsim: %s\n", why.c_str());
    return 1;
  }
  for (const std::string& name : *stored) std::printf("%s/%s\n", kCumulativeBitmapContainer, name.c_str());
  return 0;
}

// show JOB: the job's record and what its last upload committed.
int Show(const Args& args) {
  if (args.size() != 2 || !NumbersFrom(args, 1, 1)) return UsageError("jobinfo");
  std::optional<platform::JobInfoJobRecord> job = FindJobInfoJob(Number(args[1]));
  if (!job) {
    std::fprintf(stderr, "blbsim: no job-info record of job %s\n", args[1].c_str());
    return 1;
  }
  std::printf(
      "job=%llu start=%llu storage_type=%u flags=%u additional_flags=%u afile=%llu delimiter=\"%s\" "
      "uploaded=%d\n",
      static_cast<unsigned long long>(job->jobId), static_cast<unsigned long long>(job->startTime), job->metadataType,
      job->storeFlags, job->additionalFlags, static_cast<unsigned long long>(job->afileId), job->delimiter.c_str(),
      job->uploaded ? 1 : 0);
  for (const platform::JobInfoFileRecord& file : JobInfoFiles())
    if (file.jobId == job->jobId)
      std::printf("%s/%s bytes=%llu\n", file.container.c_str(), file.name.c_str(),
                  static_cast<unsigned long long>(file.size));
  return 0;
}

int JobInfo(const Args& args) {
  const std::string what = args.empty() ? std::string() : args[0];
  if (what == "list") return List(args);
  if (what == "show") return Show(args);
  if (what == "store-cumulative") return StoreCumulative(args);
  if (what == "put" && (args.size() == 4 || args.size() == 5) && NumbersFrom(args, 1, 1) && !args[2].empty()) {
    const std::string name = args.size() > 4 ? args[4] : std::string(FXPath::GetFileName(args[3]));
    if (PutJobInfoFileFrom(Number(args[1]), args[2], name, args[3])) return 0;
    std::fprintf(stderr, "blbsim: cannot store %s as %s\n", args[3].c_str(), name.c_str());
    return 1;
  }
  if (what == "get" && args.size() == 5 && NumbersFrom(args, 1, 1)) {
    if (GetJobInfoFile(Number(args[1]), args[2], args[3], args[4])) return 0;
    std::fprintf(stderr, "blbsim: job %s has no file %s/%s, or %s cannot be written\n", args[1].c_str(),
                 args[2].c_str(), args[3].c_str(), args[4].c_str());
    return 1;
  }
  unsigned long long type = platform::kJobInfoMetadataTypeRfc;
  if (what == "job" && (args.size() == 3 || args.size() == 4) && NumbersFrom(args, 1, 2) &&
      (args.size() == 3 || ReadNumber(args[3], UINT_MAX, type))) {
    platform::JobInfoJobRecord job;
    job.jobId = Number(args[1]);
    job.startTime = Number(args[2]);
    job.metadataType = static_cast<uint32_t>(type);
    return SetJobInfoJob(job) ? 0 : 1;
  }
  return UsageError("jobinfo");
}

const VerbRegistration kJobInfoVerbs({
    {"jobinfo",
     "put JOB CONTAINER FILE [NAME] | list [JOB [CONTAINER]] | get JOB CONTAINER NAME DEST | job JOB START [TYPE] | "
     "store-cumulative JOB JOBRESULTSDIR | show JOB",
     "job-info metadata: files of jobs' containers, a job's start time and storage type; store-cumulative: a "
     "scan's BlockLevelCumulativeBM/*_CumulativeV2.bmp into its job's container as <name>.7z; show: a job's record, "
     "the settings its store committed and its files",
     JobInfo},
});

}  // namespace
}  // namespace blbsim
