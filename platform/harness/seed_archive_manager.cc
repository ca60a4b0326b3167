// Seed section "archive_manager": the archive files of jobs.
#include "platform/harness/seed_section.h"
#include "platform/harness/services_harness.h"
#include "platform/services/archive_manager.h"

namespace blbsim {
namespace {

class ArchiveManagerSection : public SeedSection {
 public:
  const char* Name() const override { return "archive_manager"; }
  std::vector<const char*> Keys() const override { return {"archive_files"}; }

  void Read(const SeedObject& section) override {
    for (const SeedObject& row :
         section.Rows("archive_files", {"afile_id", "job_id", "app_id", "cell_id", "afile_type", "cycle_number",
                                        "create_time", "storage_host", "copy_id", "group_id", "flags", "level"})) {
      platform::ArchiveFileRecord record;
      record.archFileId = row.Unsigned("afile_id");
      record.jobId = row.Unsigned("job_id");
      record.appId = row.Unsigned("app_id");
      record.cellId = row.Unsigned("cell_id");
      record.archFileType = row.Integer32("afile_type");
      record.cycleNumber = row.Unsigned("cycle_number", 0);
      record.createTime = row.Unsigned("create_time", 0);
      record.storageHostName = row.Text("storage_host", "");
      record.copyId = row.Unsigned32("copy_id", 0);
      record.groupId = row.Unsigned32("group_id", 0);
      record.flags = row.Unsigned32("flags", 0);
      record.level = row.Integer32("level", 0);
      records_.push_back(record);
    }
  }

  bool Apply() override {
    for (const platform::ArchiveFileRecord& record : records_)
      if (!platform::ArchiveManager::Current().Put(record)) return false;
    return true;
  }

  nlohmann::json Dump() override {
    nlohmann::json files = nlohmann::json::array();
    for (const platform::ArchiveFileRecord& record : ArchiveFiles())
      files.push_back({{"afile_id", record.archFileId},
                       {"job_id", record.jobId},
                       {"app_id", record.appId},
                       {"cell_id", record.cellId},
                       {"afile_type", record.archFileType},
                       {"cycle_number", record.cycleNumber},
                       {"create_time", record.createTime},
                       {"storage_host", record.storageHostName},
                       {"copy_id", record.copyId},
                       {"group_id", record.groupId},
                       {"flags", record.flags},
                       {"level", record.level}});
    return {{"archive_files", files}};
  }

 private:
  std::vector<platform::ArchiveFileRecord> records_;
};

}  // namespace

std::unique_ptr<SeedSection> MakeArchiveManagerSection() {
  return std::make_unique<ArchiveManagerSection>();
}

}  // namespace blbsim
