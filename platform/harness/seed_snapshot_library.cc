// Seed section "snapshot_library": volume-snap records in their text form
// (one string each, lines separated by "\n") and snap engines.
#include "platform/harness/seed_section.h"
#include "platform/snapshot/snap_client_api.h"

namespace blbsim {
namespace {

class SnapshotLibrarySection : public SeedSection {
 public:
  const char* Name() const override { return "snapshot_library"; }
  std::vector<const char*> Keys() const override { return {"records", "engines"}; }

  void Read(const SeedObject& section) override {
    const std::vector<std::string> texts = section.Texts("records");
    for (size_t i = 0; i < texts.size(); ++i) {
      SMVolSnapInfo record;
      std::string why;
      if (!SMVolSnapInfo::FromText(texts[i], record, why))
        throw SeedRefused(section.PathOf("records") + "[" + std::to_string(i) + "]", why);
      records_.push_back(record);
    }
    for (const SeedObject& row : section.Rows("engines", {"engine_id", "name"})) {
      const long long id = row.Integer("engine_id");
      if (id < INT32_MIN || id > INT32_MAX) throw SeedRefused(row.PathOf("engine_id"), "out of range");
      engines_.push_back({static_cast<int>(id), row.Text("name", "")});
    }
  }

  bool Apply() override {
    platform::SnapshotLibraryBackend& library = platform::SnapshotLibrary::Current();
    for (const SMVolSnapInfo& record : records_)
      if (!library.PutRecord(record)) return false;
    for (const SMEngineInfo& engine : engines_)
      if (!library.PutEngine(engine)) return false;
    return true;
  }

  nlohmann::json Dump() override {
    platform::SnapshotLibraryBackend& library = platform::SnapshotLibrary::Current();
    nlohmann::json records = nlohmann::json::array();
    for (const SMVolSnapInfo& record : library.Records()) records.push_back(record.ToText());
    nlohmann::json engines = nlohmann::json::array();
    for (const SMEngineInfo& engine : library.Engines())
      engines.push_back({{"engine_id", engine.engineId}, {"name", engine.name}});
    return {{"records", records}, {"engines", engines}};
  }

 private:
  std::vector<SMVolSnapInfo> records_;
  std::vector<SMEngineInfo> engines_;
};

}  // namespace

std::unique_ptr<SeedSection> MakeSnapshotLibrarySection() {
  return std::make_unique<SnapshotLibrarySection>();
}

}  // namespace blbsim
