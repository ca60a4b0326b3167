// What the snapshot task reports to the job service: the job turned into a
// full backup, and the volumes forced to full.
#include "devconfig/kz_device_config_handler_unix.h"
#include "platform/config/kz_client.h"
#include "platform/event/ev_event.h"
#include "platform/jobs/bkp_job_client.h"
#include "platform/log/ev_debug.h"

namespace {

constexpr int kEventJobConvertedToFull = 0x46000018;
constexpr int kEventVolumesForcedToFull = 0x46000044;
// How a job's own process joins it at the job service.
constexpr int kJoinJobType = 1;
constexpr int kJoinPlatformType = 4;

// Joins the running job through the VornServe the focused installation
// reports to; the failure's text when it cannot.
const char* JoinRunningJob(KZBkpJobClient& client, const TarvosJobInfo& job) {
  KZPI_VornClient platform;
  KZPI_Focus::setFocus(KZPI_Focus::getFocus());
  platform.setFocus(KZPI_Focus::getFocus());
  const std::string host = platform.getVornServerHostName();
  if (host.empty()) return "failed to get VS hostname";
  if (!client.init(host, job.GetJobId(), kJoinJobType, kJoinPlatformType, true, job.GetJobToken()))
    return "failed to initialize backup job object";
  return nullptr;
}

}  // namespace

CQiError KzDeviceConfigHandler_UNIX::ConvertJobTypeToFull() {
  KZBkpJobClient client;
  if (const char* failure = JoinRunningJob(client, m_oUnixJobInfo))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 1627, "%s", failure);
  const uint64_t jobId = m_oUnixJobInfo.GetJobId();
  EvEvent event;
  event << static_cast<unsigned long long>(jobId);
  event.InfoEvent(kEventJobConvertedToFull, static_cast<long long>(jobId), 0);
  // The job runs on as it is when the service does not take the change.
  client.changeBkpLevelToFull();
  client.updateInfo(false, nullptr);
  return CQiError();
}

void KzDeviceConfigHandler_UNIX::LogEventForForceFullVolumes(const std::vector<SMVolBlock>& volumes) {
  std::string forced;
  for (const SMVolBlock& volume : volumes)
    if (volume.bForceFull) forced += volume.sVolume + " ";
  if (forced.empty()) return;
  KZBkpJobClient client;
  if (const char* failure = JoinRunningJob(client, m_oUnixJobInfo)) {
    EvDebug log;
    log.Error(__FUNCTION__, "%s", failure);
    return;
  }
  EvEvent event;
  event << forced;
  event.InfoEvent(kEventVolumesForcedToFull, 0, 0);
}
