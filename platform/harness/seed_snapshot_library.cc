// Seed section "snapshot_library": volume-snap records in their text form
// (one string each, lines separated by "\n"), snap engines, and the copy
// ids the snap utility gives a job's archives of one type (1 data, 4 log).
#include "platform/harness/harness_reads.h"
#include "platform/harness/seed_section.h"
#include "platform/snapshot/snap_client_api.h"

namespace blbsim {
namespace {

class SnapshotLibrarySection : public SeedSection {
 public:
  const char* Name() const override { return "snapshot_library"; }
  std::vector<const char*> Keys() const override { return {"records", "engines", "copy_ids"}; }

  void Read(const SeedObject& section) override {
    const std::vector<std::string> texts = section.Texts("records");
    for (size_t i = 0; i < texts.size(); ++i) {
      SMVolSnapInfo record;
      std::string why;
      if (!SMVolSnapInfo::FromText(texts[i], record, why))
        throw SeedRefused(section.PathOf("records") + "[" + std::to_string(i) + "]", why);
      records_.push_back(record);
    }
    for (const SeedObject& row : section.Rows("engines", {"engine_id", "name"}))
      engines_.push_back({row.Integer32("engine_id"), row.Text("name", "")});
    for (const SeedObject& row : section.Rows("copy_ids", {"job_id", "archive_type", "copy_id"}))
      copyIds_.push_back({row.Unsigned("job_id"), row.Unsigned32("archive_type"), row.Unsigned32("copy_id")});
  }

  bool Apply() override {
    platform::SnapshotLibraryBackend& library = platform::SnapshotLibrary::Current();
    for (const SMVolSnapInfo& record : records_)
      if (!library.PutRecord(record)) return false;
    for (const SMEngineInfo& engine : engines_)
      if (!library.PutEngine(engine)) return false;
    for (const platform::SnapUtilCopyId& setting : copyIds_)
      if (!library.PutCopyId(setting)) return false;
    return true;
  }

  nlohmann::json Dump() override {
    platform::SnapshotLibraryBackend& library = platform::SnapshotLibrary::Current();
    nlohmann::json records = nlohmann::json::array();
    for (const SMVolSnapInfo& record :
         ReadOrThrow<std::vector<SMVolSnapInfo>>([&](std::vector<SMVolSnapInfo>& all) { return library.Records(all); }))
      records.push_back(record.ToText());
    nlohmann::json engines = nlohmann::json::array();
    for (const SMEngineInfo& engine :
         ReadOrThrow<std::vector<SMEngineInfo>>([&](std::vector<SMEngineInfo>& all) { return library.Engines(all); }))
      engines.push_back({{"engine_id", engine.engineId}, {"name", engine.name}});
    nlohmann::json copyIds = nlohmann::json::array();
    for (const platform::SnapUtilCopyId& setting : ReadOrThrow<std::vector<platform::SnapUtilCopyId>>(
             [&](std::vector<platform::SnapUtilCopyId>& all) { return library.CopyIds(all); }))
      copyIds.push_back(
          {{"job_id", setting.jobId}, {"archive_type", setting.archiveType}, {"copy_id", setting.copyId}});
    return {{"records", records}, {"engines", engines}, {"copy_ids", copyIds}};
  }

 private:
  std::vector<SMVolSnapInfo> records_;
  std::vector<SMEngineInfo> engines_;
  std::vector<platform::SnapUtilCopyId> copyIds_;
};

}  // namespace

std::unique_ptr<SeedSection> MakeSnapshotLibrarySection() {
  return std::make_unique<SnapshotLibrarySection>();
}

}  // namespace blbsim
