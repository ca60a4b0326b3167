#include "platform/jobs/kz_job_client.h"

#include "platform/config/agent_config.h"
#include "platform/jobs/bkp_job_client.h"
#include "platform/jobs/job_details.h"
#include "platform/messages/service_messages.h"
#include "platform/sim/fault_table.h"

bool KZJobClient::init(const std::string& host, int, int) {
  int code = 0;
  m_bInitialized = false;
  if (platform::InjectedFaultCode("KZJobClient::init", code)) return false;
  std::optional<std::string> vornServe;
  m_bInitialized = platform::AgentConfig::Current().VornServeHost(vornServe) && vornServe && !vornServe->empty() &&
                   host == *vornServe;
  return m_bInitialized;
}

bool KZJobClient::processXmlReq(const CNMessageBase& request, CNMessageBase& reply) {
  using Request = JobManager::GetLastIncrJobWithBackupCopyDoneReq;
  using Reply = JobManager::GetLastIncrJobWithBackupCopyDoneResp;
  int code = 0;
  if (platform::InjectedFaultCode("KZJobClient::processXmlReq", code) || !m_bInitialized) return false;
  if (request.getModule() != Request::kModule || request.getType() != Request::kType) return false;
  const uint64_t cellId = request.getuint64(Request::kVornCellId.number, Request::kVornCellId.tag);
  const uint64_t appId = request.getuint64(Request::kAppId.number, Request::kAppId.tag);
  std::optional<platform::JobRecord> job;
  if (!platform::JobService::Current().NewestCopiedIncremental(cellId, appId, job) || !job) return false;
  Reply answer;
  answer.setuint64(Reply::kSnapJobId.number, Reply::kSnapJobId.tag, job->snapJobId);
  answer.setuint64(Reply::kCopyId.number, Reply::kCopyId.tag, job->copyId);
  reply = answer;
  return true;
}

int KZJobClient::getBkpAttrs(uint64_t& attributes, uint64_t jobId, uint64_t cellId) {
  int code = 0;
  int result = 0;
  std::optional<uint64_t> found;
  if (platform::InjectedFaultCode("KZJobClient::getBkpAttrs", code))
    result = code != 0 ? code : -1;
  else if (!m_bInitialized || !(found = platform::JobAttributes(jobId)))
    result = 2;
  else
    attributes = *found;
  platform::JobService::Current().LogCall(
      jobId, {"getBkpAttrs(" + std::to_string(jobId) + ", " + std::to_string(cellId) + ")", result == 0});
  return result;
}
