// Seed section "volume_manager": pool maps, one group each (a group seeded
// again is replaced whole).
#include "platform/harness/harness_reads.h"
#include "platform/harness/seed_section.h"
#include "platform/lvm/lvm.h"

namespace blbsim {
namespace {

class VolumeManagerSection : public SeedSection {
 public:
  const char* Name() const override { return "volume_manager"; }
  std::vector<const char*> Keys() const override { return {"groups"}; }

  void Read(const SeedObject& section) override {
    for (const SeedObject& row : section.Rows("groups", {"name", "logical_volumes", "physical_volumes"})) {
      LVM::VG group;
      group.name = row.Text("name");
      if (group.name.empty()) throw SeedRefused(row.PathOf("name"), "a group needs a name");
      for (const SeedObject& volume : row.Rows("logical_volumes", {"name", "device", "physical_volumes"})) {
        LVM::LV& lv = group.lv_map[volume.Text("name")];
        lv.name = volume.Text("name");
        lv.device = volume.Text("device");
        for (const std::string& member : volume.Texts("physical_volumes")) lv.pv_names.push_back(member);
      }
      for (const SeedObject& physical : row.Rows("physical_volumes", {"name", "device"})) {
        LVM::PV& pv = group.pv_map[physical.Text("name")];
        pv.name = physical.Text("name");
        pv.device = physical.Text("device");
      }
      groups_.push_back(group);
    }
  }

  bool Apply() override {
    for (const LVM::VG& group : groups_)
      if (!platform::Lvm::Current().PutGroup(group)) return false;
    return true;
  }

  nlohmann::json Dump() override {
    nlohmann::json groups = nlohmann::json::array();
    for (const LVM::VG& group : ReadOrThrow<std::vector<LVM::VG>>(
             [](std::vector<LVM::VG>& all) { return platform::Lvm::Current().Groups(all); })) {
      nlohmann::json volumes = nlohmann::json::array();
      for (const auto& [name, lv] : group.lv_map)
        volumes.push_back({{"name", name},
                           {"device", lv.device},
                           {"physical_volumes", std::vector<std::string>(lv.pv_names.begin(), lv.pv_names.end())}});
      nlohmann::json physical = nlohmann::json::array();
      for (const auto& [name, pv] : group.pv_map) physical.push_back({{"name", name}, {"device", pv.device}});
      groups.push_back({{"name", group.name}, {"logical_volumes", volumes}, {"physical_volumes", physical}});
    }
    return {{"groups", groups}};
  }

 private:
  std::vector<LVM::VG> groups_;
};

}  // namespace

std::unique_ptr<SeedSection> MakeVolumeManagerSection() {
  return std::make_unique<VolumeManagerSection>();
}

}  // namespace blbsim
