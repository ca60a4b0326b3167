// Seed section "job_info": the job-info metadata's job records (start time,
// storage type and what the job's store committed). Container files are put
// with `blbsim jobinfo put`.
#include "platform/harness/seed_section.h"
#include "platform/jobinfo/job_info_metadata.h"

namespace blbsim {
namespace {

uint32_t Uint32(const SeedObject& row, const char* key, uint32_t fallback) {
  const uint64_t value = row.Unsigned(key, fallback);
  if (value > UINT32_MAX) throw SeedRefused(row.PathOf(key), "out of range");
  return static_cast<uint32_t>(value);
}

class JobInfoSection : public SeedSection {
 public:
  const char* Name() const override { return "job_info"; }
  std::vector<const char*> Keys() const override { return {"jobs"}; }

  void Read(const SeedObject& section) override {
    for (const SeedObject& row : section.Rows("jobs", {"job_id", "start_time", "metadata_type", "store_flags",
                                                       "additional_flags", "afile_id", "delimiter", "uploaded"})) {
      platform::JobInfoJobRecord job;
      job.jobId = row.Unsigned("job_id");
      job.startTime = row.Unsigned("start_time", 0);
      job.metadataType = Uint32(row, "metadata_type", platform::kJobInfoMetadataTypeRfc);
      job.storeFlags = Uint32(row, "store_flags", 0);
      job.additionalFlags = Uint32(row, "additional_flags", 0);
      job.afileId = row.Unsigned("afile_id", 0);
      job.delimiter = row.Text("delimiter", "");
      if (job.delimiter.size() > 1) throw SeedRefused(row.PathOf("delimiter"), "more than one character");
      job.uploaded = row.Flag("uploaded", false);
      jobs_.push_back(job);
    }
  }

  bool Apply() override {
    for (const platform::JobInfoJobRecord& job : jobs_)
      if (!platform::JobInfoMetadata::Current().PutJob(job)) return false;
    return true;
  }

  nlohmann::json Dump() override {
    nlohmann::json jobs = nlohmann::json::array();
    for (const platform::JobInfoJobRecord& job : platform::JobInfoMetadata::Current().Jobs())
      jobs.push_back({{"job_id", job.jobId},
                      {"start_time", job.startTime},
                      {"metadata_type", job.metadataType},
                      {"store_flags", job.storeFlags},
                      {"additional_flags", job.additionalFlags},
                      {"afile_id", job.afileId},
                      {"delimiter", job.delimiter},
                      {"uploaded", job.uploaded}});
    return {{"jobs", jobs}};
  }

 private:
  std::vector<platform::JobInfoJobRecord> jobs_;
};

}  // namespace

std::unique_ptr<SeedSection> MakeJobInfoSection() {
  return std::make_unique<JobInfoSection>();
}

}  // namespace blbsim
