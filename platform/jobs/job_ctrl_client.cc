#include "platform/jobs/job_ctrl_client.h"

#include "platform/jobs/bkp_job_client.h"
#include "platform/sim/fault_table.h"

std::string KZJobCtrlClient::getCN() const {
  int code = 0;
  if (platform::InjectedFaultCode("KZJobCtrlClient::getCN", code)) return std::string();
  return m_sClientName;
}

bool KZJobCtrlClient::checkQuitFlag() const {
  int code = 0;
  if (platform::InjectedFaultCode("KZJobCtrlClient::checkQuitFlag", code) || m_nJobId == 0) return false;
  std::optional<bool> quit;
  platform::JobService::Current().QuitFlag(m_nJobId, quit);
  return quit.value_or(false);
}
