// Seed section "oracle_agent": the data files of each Oracle instance (a
// file's key is its instance and path) and the status its content replies
// carry.
#include "platform/dbagents/oracle_content.h"
#include "platform/harness/harness_reads.h"
#include "platform/harness/seed_section.h"

namespace blbsim {
namespace {

class OracleAgentSection : public SeedSection {
 public:
  const char* Name() const override { return "oracle_agent"; }
  std::vector<const char*> Keys() const override { return {"files", "statuses"}; }

  void Read(const SeedObject& section) override {
    for (const SeedObject& row : section.Rows("files", {"instance_id", "pdb", "table_space", "path"}))
      files_.push_back(
          {row.Unsigned("instance_id"), row.Text("pdb", ""), row.Text("table_space", ""), row.Text("path")});
    for (const SeedObject& row : section.Rows("statuses", {"instance_id", "status"}))
      statuses_.emplace_back(row.Unsigned("instance_id"), row.Integer("status"));
  }

  bool Apply() override {
    platform::OracleContentBackend& oracle = platform::OracleContent::Current();
    for (const platform::OracleFileRecord& file : files_)
      if (!oracle.AddFile(file)) return false;
    for (const auto& [instance, status] : statuses_)
      if (!oracle.SetStatus(instance, status)) return false;
    return true;
  }

  nlohmann::json Dump() override {
    platform::OracleContentBackend& oracle = platform::OracleContent::Current();
    nlohmann::json files = nlohmann::json::array();
    for (const platform::OracleFileRecord& file : ReadOrThrow<std::vector<platform::OracleFileRecord>>(
             [&](std::vector<platform::OracleFileRecord>& all) { return oracle.AllFiles(all); }))
      files.push_back(
          {{"instance_id", file.instanceId}, {"pdb", file.pdb}, {"table_space", file.tableSpace}, {"path", file.path}});
    nlohmann::json statuses = nlohmann::json::array();
    using Statuses = std::vector<std::pair<uint64_t, int64_t>>;
    for (const auto& [instance, status] : ReadOrThrow<Statuses>([&](Statuses& all) { return oracle.Statuses(all); }))
      statuses.push_back({{"instance_id", instance}, {"status", status}});
    return {{"files", files}, {"statuses", statuses}};
  }

 private:
  std::vector<platform::OracleFileRecord> files_;
  std::vector<std::pair<uint64_t, int64_t>> statuses_;
};

}  // namespace

std::unique_ptr<SeedSection> MakeOracleAgentSection() {
  return std::make_unique<OracleAgentSection>();
}

}  // namespace blbsim
