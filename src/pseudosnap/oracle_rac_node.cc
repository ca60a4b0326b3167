// The destination of an Oracle RAC job is the operating system of the
// instance's first node: the job's own client is only the RAC's name.
#include <list>

#include "platform/config/kz_client.h"
#include "platform/dbagents/instance.h"
#include "platform/dbagents/oracle_rac_instance.h"
#include "platform/log/ev_debug.h"
#include "pseudosnap/pseudo_snap_handler_private.h"

namespace {

constexpr uint32_t kOracleRacAppType = 80;

}  // namespace

CQiError COraclePseudoSnapArchiveHandlerPrivate::GetOperatingSystemId() {
  if (m_nAppType != kOracleRacAppType) return CPseudoSnapArchiveHandlerPrivate::GetOperatingSystemId();
  // Only logged: an OS id left unread is refused by Initialize.
  EvDebug log;
  Instance* instance = m_pApplicationId ? m_pApplicationId->getInstance(nullptr) : nullptr;
  const uint64_t instanceId = instance != nullptr ? instance->getInstanceId() : 0;
  if (instanceId == 0) {
    log.Error(__FUNCTION__, "Error getting instanceId");
    return CQiError();
  }
  OracleRacInstance rac;
  std::list<OracleRacInstanceInfo> nodes;
  if (rac.getRacInstanceList(instanceId, nodes, nullptr) != 0 || nodes.empty()) {
    log.Error(__FUNCTION__, "Error getting RAC node list");
    return CQiError();
  }
  KZClient node(nodes.front().ClientId());
  if (node.getOperatingSystemId(m_nDestOsId) != 0)
    log.Error(__FUNCTION__, "Could not get OS Id for RAC Physical Client");
  return CQiError();
}
