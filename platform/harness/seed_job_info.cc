// Seed section "job_info": the job-info metadata's job records (start time,
// storage type and what the job's store committed) and the jobs' key-value
// containers per storage type (1 index, 2 reference copy). Container files
// are put with `blbsim jobinfo put`.
#include <set>

#include "platform/bag/bag.h"
#include "platform/harness/harness_reads.h"
#include "platform/harness/seed_section.h"
#include "platform/jobinfo/job_info_metadata.h"

namespace blbsim {
namespace {

class JobInfoSection : public SeedSection {
 public:
  const char* Name() const override { return "job_info"; }
  std::vector<const char*> Keys() const override { return {"jobs", "bags"}; }

  void Read(const SeedObject& section) override {
    for (const SeedObject& row : section.Rows("jobs", {"job_id", "start_time", "metadata_type", "store_flags",
                                                       "additional_flags", "afile_id", "delimiter", "uploaded"})) {
      platform::JobInfoJobRecord job;
      job.jobId = row.Unsigned("job_id");
      job.startTime = row.Unsigned("start_time", 0);
      job.metadataType = row.Unsigned32("metadata_type", platform::kJobInfoMetadataTypeRfc);
      job.storeFlags = row.Unsigned32("store_flags", 0);
      job.additionalFlags = row.Unsigned32("additional_flags", 0);
      job.afileId = row.Unsigned("afile_id", 0);
      job.delimiter = row.Text("delimiter", "");
      if (job.delimiter.size() > 1) throw SeedRefused(row.PathOf("delimiter"), "more than one character");
      job.uploaded = row.Flag("uploaded", false);
      jobs_.push_back(job);
    }
    for (const SeedObject& row : section.Rows("bags", {"job_id", "container", "storage_type", "values"})) {
      platform::JobInfoBagRecord bag;
      bag.jobId = row.Unsigned("job_id");
      bag.container = row.Text("container");
      if (bag.container.empty()) throw SeedRefused(row.PathOf("container"), "empty");
      bag.storageType = row.Unsigned32("storage_type");
      if (bag.storageType != 1 && bag.storageType != 2)
        throw SeedRefused(row.PathOf("storage_type"), "neither 1 (index) nor 2 (reference copy)");
      CBag values;
      std::set<std::string> keys;
      for (const SeedObject& value : row.Rows("values", {"key", "value"})) {
        const std::string key = value.Text("key");
        if (key.empty() || !keys.insert(key).second) throw SeedRefused(value.PathOf("key"), "empty or repeated");
        if (values.Write(key, value.Text("value")).GetErrorCode() != 0)
          throw SeedRefused(value.PathOf("value"), "the bag refused it");
      }
      values.GetSerializedData(bag.bag);
      bags_.push_back(bag);
    }
  }

  bool Apply() override {
    for (const platform::JobInfoJobRecord& job : jobs_)
      if (!platform::JobInfoMetadata::Current().PutJob(job)) return false;
    for (const platform::JobInfoBagRecord& bag : bags_)
      if (!platform::JobInfoMetadata::Current().PutBag(bag.jobId, bag.container, bag.storageType, bag.bag))
        return false;
    return true;
  }

  nlohmann::json Dump() override {
    nlohmann::json jobs = nlohmann::json::array();
    for (const platform::JobInfoJobRecord& job :
         ReadOrThrow<std::vector<platform::JobInfoJobRecord>>([](std::vector<platform::JobInfoJobRecord>& all) {
           return platform::JobInfoMetadata::Current().Jobs(all);
         }))
      jobs.push_back({{"job_id", job.jobId},
                      {"start_time", job.startTime},
                      {"metadata_type", job.metadataType},
                      {"store_flags", job.storeFlags},
                      {"additional_flags", job.additionalFlags},
                      {"afile_id", job.afileId},
                      {"delimiter", job.delimiter},
                      {"uploaded", job.uploaded}});
    nlohmann::json bags = nlohmann::json::array();
    for (const platform::JobInfoBagRecord& record :
         ReadOrThrow<std::vector<platform::JobInfoBagRecord>>([](std::vector<platform::JobInfoBagRecord>& all) {
           return platform::JobInfoMetadata::Current().Bags(all);
         })) {
      nlohmann::json row = {
          {"job_id", record.jobId}, {"container", record.container}, {"storage_type", record.storageType}};
      CBag bag;
      if (bag.LoadSerializedData(record.bag).GetErrorCode() == 0) {
        nlohmann::json values = nlohmann::json::array();
        for (const std::string& key : bag.allKeys()) {
          std::string value;
          bag.Read(key, value);
          values.push_back({{"key", key}, {"value", value}});
        }
        row["values"] = values;
      } else {
        // Shown as stored, so that a damaged container is seen rather than
        // dumped as an empty one.
        row["bag"] = record.bag;
      }
      bags.push_back(row);
    }
    return {{"jobs", jobs}, {"bags", bags}};
  }

 private:
  std::vector<platform::JobInfoJobRecord> jobs_;
  std::vector<platform::JobInfoBagRecord> bags_;
};

}  // namespace

std::unique_ptr<SeedSection> MakeJobInfoSection() {
  return std::make_unique<JobInfoSection>();
}

}  // namespace blbsim
