// The synthetic full's last step: the job manager's backup details of the
// source job become the new job's.
#include "platform/jobs/bkp_job_client.h"
#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"
#include "pseudosnap/pseudo_snap_handler_private.h"

namespace {

constexpr unsigned kBackupInfoFailure = 774;
constexpr int kHostNameBuffer = 1024;
constexpr int kJobType = 1;
constexpr int kPlatformType = 2;

}  // namespace

CQiError CPseudoSnapArchiveHandlerPrivate::UpdateSynthFullBackupInfo() {
  EvDebug log;
  char host[kHostNameBuffer] = {};
  if (KZPlatformInfo::getStowhostVSHostName(host, kHostNameBuffer - 1) != 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kBackupInfoFailure, "Failed to get VS hostname");
  log.DebugLvl(__FUNCTION__, 1, "Initializing jobclient with VS hostname[%s] Snap backup job[%llu]", host,
               static_cast<unsigned long long>(m_nSnapJobId));
  KZBkpJobClient source;
  if (!source.init(host, m_nSnapJobId, kJobType, kPlatformType, false, nullptr))
    return FXErrorUtil::ErrorWin32(FXCODELOC, kBackupInfoFailure, "Failed to initialize backup job client instance");
  source.setJobID(m_nSnapJobId);
  std::string xml;
  if (!source.getXmlBlob(xml, m_nVornCellId) || xml.empty())
    return FXErrorUtil::ErrorWin32(FXCODELOC, kBackupInfoFailure, "Failed to fetch Backup job details, snapJob=%llu",
                                   static_cast<unsigned long long>(m_nSnapJobId));
  log.DebugLvl(__FUNCTION__, 1, "Backup xml blob[%s] retrieved for snap backup[%llu]", xml.c_str(),
               static_cast<unsigned long long>(m_nSnapJobId));

  log.DebugLvl(__FUNCTION__, 1, "Initializing jobclient with VS hostname[%s] backup job[%llu]", host,
               static_cast<unsigned long long>(m_nJobId));
  KZBkpJobClient target;
  if (!target.init(host, m_nJobId, kJobType, kPlatformType, false, nullptr))
    return FXErrorUtil::ErrorWin32(FXCODELOC, kBackupInfoFailure,
                                   "Failed to initialize backup job client instance for updating info");
  target.setJobID(m_nJobId);
  if (!target.setXmlBlob(xml, 0))
    return FXErrorUtil::ErrorWin32(FXCODELOC, kBackupInfoFailure, "Failed to set Backup job details, Job=%llu",
                                   static_cast<unsigned long long>(m_nJobId));
  if (!target.updateInfo(false, nullptr))
    return FXErrorUtil::ErrorWin32(FXCODELOC, kBackupInfoFailure, "Failed to update backup job info to JM");
  return CQiError();
}
