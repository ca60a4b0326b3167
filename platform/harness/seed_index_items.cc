// Seed section "index_items": items jobs published to the backup index, one
// line each in the form `blbsim index items` prints, appended in order.
#include "platform/harness/seed_section.h"
#include "platform/indexing/indexing_connection.h"

namespace blbsim {
namespace {

class IndexItemsSection : public SeedSection {
 public:
  const char* Name() const override { return "index_items"; }
  std::vector<const char*> Keys() const override { return {"items"}; }

  void Read(const SeedObject& section) override {
    for (const SeedObject& row : section.Rows("items", {"job_id", "line"})) {
      const std::string line = row.Text("line");
      if (line.empty() || line.find('\n') != std::string::npos)
        throw SeedRefused(row.PathOf("line"), "not one non-empty line");
      items_.emplace_back(row.Unsigned("job_id"), line);
    }
  }

  bool Apply() override {
    for (const auto& [job, line] : items_)
      if (!platform::IndexConnections::Current().PutItem(job, line)) return false;
    return true;
  }

  nlohmann::json Dump() override {
    nlohmann::json items = nlohmann::json::array();
    for (const auto& [job, line] : platform::IndexConnections::Current().AllItems())
      items.push_back({{"job_id", job}, {"line", line}});
    return {{"items", items}};
  }

 private:
  std::vector<std::pair<uint64_t, std::string>> items_;
};

}  // namespace

std::unique_ptr<SeedSection> MakeIndexItemsSection() {
  return std::make_unique<IndexItemsSection>();
}

}  // namespace blbsim
