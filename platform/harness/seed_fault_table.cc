// Seed section "fault_table": injected failures of closed calls.
#include "platform/harness/seed_section.h"
#include "platform/sim/fault_names.h"
#include "platform/sim/fault_table.h"

namespace blbsim {
namespace {

class FaultTableSection : public SeedSection {
 public:
  const char* Name() const override { return "fault_table"; }
  std::vector<const char*> Keys() const override { return {"faults"}; }

  void Read(const SeedObject& section) override {
    for (const SeedObject& row : section.Rows("faults", {"call", "code", "mode", "count"})) {
      platform::Fault fault;
      fault.call = row.Text("call");
      if (!platform::IsFailableCall(fault.call))
        throw SeedRefused(row.PathOf("call"), "no failable call is named " + fault.call);
      fault.code = row.Integer32("code");
      std::optional<platform::FaultMode> mode = platform::ParseFaultMode(row.Text("mode", "error"));
      if (!mode) throw SeedRefused(row.PathOf("mode"), "expected \"error\", \"throw\" or \"delay\"");
      fault.mode = *mode;
      // 0 would be a fault that hits nothing: a seed states the faults it sets.
      fault.remaining = row.Integer("count", -1);
      if (fault.remaining == 0 || fault.remaining < -1)
        throw SeedRefused(row.PathOf("count"), "expected -1 (every call) or a count above 0");
      faults_.push_back(fault);
    }
  }

  bool Apply() override {
    for (const platform::Fault& fault : faults_)
      platform::FaultTable::Set(fault.call, fault.code, fault.mode, fault.remaining);
    return true;
  }

  nlohmann::json Dump() override {
    nlohmann::json faults = nlohmann::json::array();
    for (const platform::Fault& fault : platform::FaultTable::List())
      faults.push_back({{"call", fault.call},
                        {"code", fault.code},
                        {"mode", platform::FaultModeName(fault.mode)},
                        {"count", fault.remaining}});
    return {{"faults", faults}};
  }

 private:
  std::vector<platform::Fault> faults_;
};

}  // namespace

std::unique_ptr<SeedSection> MakeFaultTableSection() {
  return std::make_unique<FaultTableSection>();
}

}  // namespace blbsim
