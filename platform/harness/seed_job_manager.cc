// Seed section "job_manager": the jobs of the job service with their
// subclient, level, token, conversions, the snapshot job they convert, their
// copy, whether their backup copy is done, their start and end times and the
// attributes job clients OR into them;
// "details": a job's backup attributes and backup-details blob (dumped for
// the jobs of the job service).
#include <optional>

#include "platform/harness/harness_reads.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/seed_section.h"
#include "platform/jobs/bkp_job_client.h"
#include "platform/jobs/job_details.h"

namespace blbsim {
namespace {

class JobManagerSection : public SeedSection {
 public:
  const char* Name() const override { return "job_manager"; }
  std::vector<const char*> Keys() const override { return {"jobs", "details"}; }

  void Read(const SeedObject& section) override {
    for (const SeedObject& row :
         section.Rows("jobs", {"job_id", "cell_id", "app_id", "level", "token", "conversions", "snap_job_id", "copy_id",
                               "backup_copy_done", "start_time", "end_time", "bkp_attributes"})) {
      platform::JobRecord job;
      job.jobId = row.Unsigned("job_id");
      job.cellId = row.Unsigned("cell_id");
      job.appId = row.Unsigned("app_id");
      job.level = row.Integer32("level");
      job.token = row.Text("token", "");
      job.conversions = row.Unsigned("conversions", 0);
      job.snapJobId = row.Unsigned("snap_job_id", 0);
      job.copyId = row.Unsigned32("copy_id", 0);
      job.backupCopyDone = row.Flag("backup_copy_done", false);
      job.startTime = row.Unsigned("start_time", 0);
      job.endTime = row.Unsigned("end_time", 0);
      jobs_.push_back(job);
      bkpAttributes_.push_back(row.Unsigned32("bkp_attributes", 0));
    }
    for (const SeedObject& row : section.Rows("details", {"job_id", "attributes", "xml_blob"})) {
      Details details;
      details.jobId = row.Unsigned("job_id");
      if (row.Has("attributes")) details.attributes = row.Unsigned("attributes");
      if (row.Has("xml_blob")) details.xmlBlob = row.Text("xml_blob");
      details_.push_back(details);
    }
  }

  bool Apply() override {
    for (size_t i = 0; i < jobs_.size(); ++i) {
      if (!platform::JobService::Current().PutJob(jobs_[i])) return false;
      if (bkpAttributes_[i] != 0 && !platform::JobService::Current().AddAttributes(jobs_[i].jobId, bkpAttributes_[i]))
        return false;
    }
    for (const Details& details : details_) {
      if (details.attributes && !platform::SetJobAttributes(details.jobId, *details.attributes)) return false;
      if (details.xmlBlob && !platform::SetJobXmlBlob(details.jobId, *details.xmlBlob)) return false;
    }
    return true;
  }

  nlohmann::json Dump() override {
    platform::JobServiceBackend& service = platform::JobService::Current();
    const auto all = ReadOrThrow<std::vector<platform::JobRecord>>(
        [&](std::vector<platform::JobRecord>& found) { return service.Jobs(found); });
    nlohmann::json jobs = nlohmann::json::array();
    for (const platform::JobRecord& job : all)
      jobs.push_back({{"job_id", job.jobId},
                      {"cell_id", job.cellId},
                      {"app_id", job.appId},
                      {"level", job.level},
                      {"token", job.token},
                      {"conversions", job.conversions},
                      {"snap_job_id", job.snapJobId},
                      {"copy_id", job.copyId},
                      {"backup_copy_done", job.backupCopyDone},
                      {"start_time", job.startTime},
                      {"end_time", job.endTime},
                      {"bkp_attributes", JobServiceAttributes(job.jobId).value_or(0)}});
    nlohmann::json details = nlohmann::json::array();
    for (const platform::JobRecord& job : all) {
      const std::optional<uint64_t> attributes = platform::JobAttributes(job.jobId);
      const std::optional<std::string> blob = platform::JobXmlBlob(job.jobId);
      if (!attributes && !blob) continue;
      nlohmann::json row = {{"job_id", job.jobId}};
      if (attributes) row["attributes"] = *attributes;
      if (blob) row["xml_blob"] = *blob;
      details.push_back(row);
    }
    return {{"jobs", jobs}, {"details", details}};
  }

 private:
  struct Details {
    uint64_t jobId = 0;
    std::optional<uint64_t> attributes;
    std::optional<std::string> xmlBlob;
  };

  std::vector<platform::JobRecord> jobs_;
  std::vector<uint32_t> bkpAttributes_;  // one per job
  std::vector<Details> details_;
};

}  // namespace

std::unique_ptr<SeedSection> MakeJobManagerSection() {
  return std::make_unique<JobManagerSection>();
}

}  // namespace blbsim
