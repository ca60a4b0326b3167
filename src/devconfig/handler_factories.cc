// Making the Unix and SPOS handlers, and what they hold beyond the base.
#include "blocklevel/blocklevel.h"
#include "devconfig/kz_device_config_handler_unix.h"
#include "library/entry_guard.h"

namespace {

constexpr const char* kSposArgument = "-SPOS";

bool LastArgumentIsSpos(const std::vector<std::string>& args) {
  return !args.empty() && args.back() == kSposArgument;
}

}  // namespace

KzDeviceConfigHandler* KzDeviceConfigHandler::GetDeviceConfigHandler(const std::vector<std::string>& args) {
  TarvosJobInfo job(args);
  if (job.ParseArgs(false) != 0 || job.setJobResultsDir() != 0) return nullptr;
  if (LastArgumentIsSpos(args)) return new KzDeviceConfigHandler_SPOS(job);
  return new KzDeviceConfigHandler_UNIX(job);
}

KzDeviceConfigHandler* KzDeviceConfigHandler::GetDeviceConfigHandler(TarvosJobInfo& job) {
  return new KzDeviceConfigHandler_UNIX(job);
}

extern "C" KzDeviceConfigHandler* GetBlockDeviceConfigHandler(const std::vector<std::string>& args) {
  return blocklevel::GuardEntryPointValue<KzDeviceConfigHandler*>(
      __FUNCTION__, nullptr, [&] { return KzDeviceConfigHandler::GetDeviceConfigHandler(args); });
}

KzDeviceConfigHandler_UNIX::KzDeviceConfigHandler_UNIX(const TarvosJobInfo& job)
    : KzDeviceConfigHandler(job), m_oUnixJobInfo(job) {
  m_mExtDevices.clear();
  m_itExtCursor = m_mExtDevices.end();
}

KzDeviceConfigHandler_UNIX::~KzDeviceConfigHandler_UNIX() {
  m_mExtDevices.clear();
}

bool KzDeviceConfigHandler_UNIX::IsSposJob() const {
  return LastArgumentIsSpos(m_oUnixJobInfo.GetArgs());
}

bool KzDeviceConfigHandler_UNIX::ShouldAppendDeviceConfig() {
  return m_bAppendForOracle;
}

void KzDeviceConfigHandler_UNIX::setAppendDeviceConfigForOracle(bool append) {
  m_bAppendForOracle = append;
}

std::string KzDeviceConfigHandler_UNIX::GetFSType(SMVolBlock& volume) {
  return volume.sFSType;
}

KzDeviceConfigHandler_SPOS::KzDeviceConfigHandler_SPOS(const TarvosJobInfo& job) : KzDeviceConfigHandler_UNIX(job) {}

KzDeviceConfigHandler_SPOS::~KzDeviceConfigHandler_SPOS() = default;

bool KzDeviceConfigHandler_SPOS::ConvertVolumeToFull(const std::string&) {
  return false;
}

CQiError KzDeviceConfigHandler_SPOS::HandleBitMap(SMVolBlock& volume, const KZBkpLevel& level, eSnapState state) {
  CQiError error = KzDeviceConfigHandler_UNIX::HandleBitMap(volume, level, state);
  if (error.IsError() || level == KZ_BKP_LEVEL_FULL) volume.bForceFull = true;
  return CQiError();
}
