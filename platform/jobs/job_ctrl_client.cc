#include "platform/jobs/job_ctrl_client.h"

#include "platform/jobs/bkp_job_client.h"
#include "platform/sim/fault_table.h"

bool KZJobCtrlClient::checkQuitFlag() {
  if (platform::InjectedFault("KZJobCtrlClient::checkQuitFlag", FXCODELOC).IsError()) return false;
  return platform::JobService::Current().QuitFlag(m_nJobId).value_or(false);
}
