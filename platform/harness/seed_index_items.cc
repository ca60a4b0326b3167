// Seed section "index_items": items jobs published to the backup index, one
// line each in the form `blbsim index items` prints, appended in order; and
// the entries database agents wrote into their jobs' index themselves.
#include "platform/harness/harness_reads.h"
#include "platform/harness/seed_section.h"
#include "platform/indexing/index_agent_entries.h"
#include "platform/indexing/indexing_connection.h"

namespace blbsim {
namespace {

class IndexItemsSection : public SeedSection {
 public:
  const char* Name() const override { return "index_items"; }
  std::vector<const char*> Keys() const override { return {"items", "agent_entries"}; }

  void Read(const SeedObject& section) override {
    for (const SeedObject& row : section.Rows("items", {"job_id", "line"})) {
      const std::string line = row.Text("line");
      if (line.empty() || line.find('\n') != std::string::npos)
        throw SeedRefused(row.PathOf("line"), "not one non-empty line");
      items_.emplace_back(row.Unsigned("job_id"), line);
    }
    for (const SeedObject& row : section.Rows("agent_entries", {"cell_id", "app_id", "job_id", "path", "view",
                                                                "afile_id", "guid", "group_id", "mount_point"})) {
      platform::AgentIndexEntry entry;
      entry.cellId = row.Unsigned("cell_id");
      entry.appId = row.Unsigned("app_id");
      entry.jobId = row.Unsigned("job_id");
      entry.path = row.Text("path");
      if (entry.path.empty() || entry.path.find('\n') != std::string::npos)
        throw SeedRefused(row.PathOf("path"), "not one non-empty line");
      entry.view = row.Text("view", "");
      entry.archFileId = row.Integer32("afile_id");
      entry.componentGuid = row.Text("guid", "");
      entry.archGroupId = row.Integer32("group_id", 0);
      entry.mountPoint = row.Flag("mount_point", false);
      entries_.push_back(entry);
    }
  }

  bool Apply() override {
    for (const auto& [job, line] : items_)
      if (!platform::IndexConnections::Current().PutItem(job, line)) return false;
    for (const platform::AgentIndexEntry& entry : entries_)
      if (!platform::PutAgentIndexEntry(entry)) return false;
    return true;
  }

  nlohmann::json Dump() override {
    nlohmann::json items = nlohmann::json::array();
    using Items = std::vector<std::pair<uint64_t, std::string>>;
    for (const auto& [job, line] :
         ReadOrThrow<Items>([](Items& all) { return platform::IndexConnections::Current().AllItems(all); }))
      items.push_back({{"job_id", job}, {"line", line}});
    nlohmann::json entries = nlohmann::json::array();
    for (const platform::AgentIndexEntry& entry : ReadOrThrow<std::vector<platform::AgentIndexEntry>>(
             [](std::vector<platform::AgentIndexEntry>& all) { return platform::AllAgentIndexEntries(all); }))
      entries.push_back({{"cell_id", entry.cellId},
                         {"app_id", entry.appId},
                         {"job_id", entry.jobId},
                         {"path", entry.path},
                         {"view", entry.view},
                         {"afile_id", entry.archFileId},
                         {"guid", entry.componentGuid},
                         {"group_id", entry.archGroupId},
                         {"mount_point", entry.mountPoint}});
    return {{"items", items}, {"agent_entries", entries}};
  }

 private:
  std::vector<std::pair<uint64_t, std::string>> items_;
  std::vector<platform::AgentIndexEntry> entries_;
};

}  // namespace

std::unique_ptr<SeedSection> MakeIndexItemsSection() {
  return std::make_unique<IndexItemsSection>();
}

}  // namespace blbsim
