// Seed section "archive_manager": the archive files of jobs.
#include "platform/harness/seed_section.h"
#include "platform/services/archive_manager.h"

namespace blbsim {
namespace {

uint32_t Uint32(const SeedObject& row, const char* key) {
  const uint64_t value = row.Unsigned(key, 0);
  if (value > UINT32_MAX) throw SeedRefused(row.PathOf(key), "out of range");
  return static_cast<uint32_t>(value);
}

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
      const long long type = row.Integer("afile_type");
      if (type < INT32_MIN || type > INT32_MAX) throw SeedRefused(row.PathOf("afile_type"), "out of range");
      record.archFileType = static_cast<int>(type);
      record.cycleNumber = row.Unsigned("cycle_number", 0);
      record.createTime = row.Unsigned("create_time", 0);
      record.storageHostName = row.Text("storage_host", "");
      record.copyId = Uint32(row, "copy_id");
      record.groupId = Uint32(row, "group_id");
      record.flags = Uint32(row, "flags");
      const long long level = row.Integer("level", 0);
      if (level < INT32_MIN || level > INT32_MAX) throw SeedRefused(row.PathOf("level"), "out of range");
      record.level = static_cast<int>(level);
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
    for (const platform::ArchiveFileRecord& record : platform::ArchiveManager::Current().All())
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
