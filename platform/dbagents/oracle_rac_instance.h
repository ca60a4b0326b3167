#pragma once
// The Oracle agent's RAC view: the nodes an Oracle RAC instance runs on,
// from the configuration's node lists ("rac_nodes" of the seed's
// application list).
//
// Faults: "OracleRacInstance::getRacInstanceList" (the call answers the
// fault's code).
#include <cstdint>
#include <list>
#include <string>

// The value a text property holds before anything was read into it.
constexpr const char* KZ_DEFAULT_STR_PROP_VALUE = "KZ_DEFAULT_VALUE";

// One node of a RAC instance: seven numbers, then ten texts. The third
// number is the node's client.
struct OracleRacInstanceInfo {
  uint64_t numbers[7] = {};
  std::string texts[10];

  uint64_t ClientId() const { return numbers[2]; }
};

class AdaptersBase {
 public:
  virtual ~AdaptersBase() = default;

 protected:
  std::string m_sText;
};

class OracleRacInstance : public AdaptersBase {
 public:
  // The instance's nodes in their order; 0 on success (an instance without
  // nodes answers an empty list), 1627 when the nodes cannot be read.
  int getRacInstanceList(uint64_t instanceId, std::list<OracleRacInstanceInfo>& nodes, void* reserved);
};
