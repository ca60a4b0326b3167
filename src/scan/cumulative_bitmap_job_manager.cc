// Telling the job manager that the scan took the components a synthetic full
// found missing extents in, so that the next synthetic full starts afresh.
#include "platform/config/kz_client.h"
#include "platform/jobs/bkp_job_client.h"
#include "platform/log/ev_debug.h"
#include "scan/cumulative_bitmap_helper.h"

namespace {

constexpr unsigned kErrorFailed = 774;
// How a job's own process joins it at the job service.
constexpr int kJoinJobType = 1;
constexpr int kJoinPlatformType = 4;

}  // namespace

CQiError CCumulativeBitmapHelper::ResetVolumesWithMissingExtentsInJobManager() {
  KZPI_VornClient vornClient;
  vornClient.setFocus(KZPI_Focus::getFocus());
  const std::string host = vornClient.getVornServerHostName();
  if (host.empty()) return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "Failed to get vornserver name");
  const uint64_t jobId = m_oJobInfo.GetJobId();
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 0, "Initializing jobclient with VS=%s, Job=%lu", host.c_str(),
               static_cast<unsigned long>(jobId));
  KZBkpJobClient client;
  if (!client.init(host, jobId, kJoinJobType, kJoinPlatformType, false, nullptr))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, kErrorFailed,
                                   "Failed to initialize backup job client instance for updating info");
  if (!client.resetListOfVolumesWithMissingExtents())
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed,
                                   "Failed to reset volume list with missed extents info in JM.");
  if (!client.updateInfo(false, nullptr))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, kErrorFailed,
                                   "Failed to reset volume list with missed extents info in JM.");
  return CQiError();
}
