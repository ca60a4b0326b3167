#include "records/tarvos_job_info.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/log/ev_debug.h"

TarvosJobInfo::TarvosJobInfo() = default;

TarvosJobInfo::TarvosJobInfo(int argc, const char* const* argv) {
  for (int i = 0; i < argc && argv != nullptr; ++i) m_vArgs.emplace_back(argv[i] ? argv[i] : "");
}

TarvosJobInfo::TarvosJobInfo(const std::vector<std::string>& args) : m_vArgs(args) {}

int TarvosJobInfo::ParseArgs(bool skipValidation) {
  m_nAppId = 0;
  m_nJobId = 0;
  m_nVornCellId = 0;

  EvDebug log;
  const size_t count = m_vArgs.size();
  for (size_t i = 0; i < count; ++i) {
    const std::string& arg = m_vArgs[i];
    log.DebugLvl(__FUNCTION__, 7, "Arg:%s", arg.c_str());
    const bool takesValue =
        arg == "-a" || arg == "-j" || arg == "-t" || arg == "-jt" || arg == "-d" || arg == "-snapJID";
    if (arg == "-snaptape") {
      m_bSnapToTape = true;
      continue;
    }
    if (!takesValue) continue;
    if (i + 1 >= count) return -1;  // an option without its value
    const std::string& value = m_vArgs[++i];
    // "%lu" takes a negative number and wraps it: "-j -5" would run as job
    // 18446744073709551611. An id with a sign is no id.
    const bool signedId = (arg == "-a" || arg == "-j" || arg == "-snapJID") && value.find('-') != std::string::npos;
    if (signedId) {
      log.DebugLvl(__FUNCTION__, 0, "Ignoring %s [%s]: not an id", arg.c_str(), value.c_str());
      continue;
    }
    if (arg == "-a") {
      unsigned long cell = 0;
      unsigned long app = 0;
      int matched = std::sscanf(value.c_str(), "%lu:%lu", &cell, &app);
      if (matched >= 1) m_nVornCellId = cell;
      if (matched >= 2) m_nAppId = app;
    } else if (arg == "-j") {
      unsigned long job = 0;
      if (std::sscanf(value.c_str(), "%lu", &job) == 1) m_nJobId = job;
    } else if (arg == "-t") {
      m_nBackupLevel = std::atoi(value.c_str());
    } else if (arg == "-jt") {
      std::memset(m_szJobToken, 0, sizeof m_szJobToken);
      std::strncpy(m_szJobToken, value.c_str(), kJobTokenSize);
    } else if (arg == "-d") {
      m_sStowhost = value;
    } else if (arg == "-snapJID") {
      unsigned long snapJob = 0;
      if (std::sscanf(value.c_str(), "%lu", &snapJob) == 1) m_nSnapJobId = snapJob;
    }
  }

  if (m_bSnapToTape && m_nSnapJobId == 0) m_nSnapJobId = m_nJobId;
  if (skipValidation) return 0;
  const bool levelValid = m_nBackupLevel == 1 || m_nBackupLevel == 2 || m_nBackupLevel == 4;
  if (m_nVornCellId == 0 || m_nAppId == 0 || m_nJobId == 0 || !levelValid || m_sStowhost.empty()) return -1;
  return 0;
}

int TarvosJobInfo::setJobResultsDir() {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 1, "VornCellId:%lu AppId:%lu BackupType:%d", static_cast<unsigned long>(m_nVornCellId),
               static_cast<unsigned long>(m_nAppId), m_nBackupLevel);
  if (GetSubclientDirAndFiles(static_cast<uint32_t>(m_nVornCellId), static_cast<uint32_t>(m_nAppId), &m_oSubclientFiles,
                              m_nBackupLevel, nullptr) == -1) {
    log.DebugLvl(__FUNCTION__, 1, "Failed to get jobresults directory");
    return -1;
  }
  m_sJobResultsDir = m_oSubclientFiles.m_szJobResultsDir;
  return 0;
}

void TarvosJobInfo::logArguments() const {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 1, "JobResultsDirectory:%s", m_sJobResultsDir.c_str());
}
