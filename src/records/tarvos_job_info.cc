#include "records/tarvos_job_info.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/log/ev_debug.h"

namespace {

// Reads an unsigned decimal id at text: digits only (no sign, no blank),
// none past the 64-bit range. Leaves text after the digits; false, with
// value untouched, when none are there or they overflow.
bool ReadId(const char*& text, uint64_t& value) {
  const char* at = text;
  uint64_t read = 0;
  for (; *at >= '0' && *at <= '9'; ++at) {
    const uint64_t digit = static_cast<uint64_t>(*at - '0');
    if (read > (UINT64_MAX - digit) / 10) return false;
    read = read * 10 + digit;
  }
  if (at == text) return false;
  text = at;
  value = read;
  return true;
}

// A whole argument that is one id.
bool ReadWholeId(const std::string& argument, uint64_t& value) {
  const char* text = argument.c_str();
  uint64_t read = 0;
  if (!ReadId(text, read) || *text != '\0') return false;
  value = read;
  return true;
}

}  // namespace

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
    if (arg == "-a") {
      // "CELL:APP"; a cell without a valid application keeps only the cell.
      const char* text = value.c_str();
      uint64_t cell = 0;
      uint64_t app = 0;
      if (ReadId(text, cell)) {
        m_nVornCellId = cell;
        if (*text == ':' && ReadId(++text, app) && *text == '\0') m_nAppId = app;
      }
    } else if (arg == "-j") {
      ReadWholeId(value, m_nJobId);
    } else if (arg == "-t") {
      m_nBackupLevel = std::atoi(value.c_str());
    } else if (arg == "-jt") {
      std::memset(m_szJobToken, 0, sizeof m_szJobToken);
      std::strncpy(m_szJobToken, value.c_str(), kJobTokenSize);
    } else if (arg == "-d") {
      m_sStowhost = value;
    } else if (arg == "-snapJID") {
      ReadWholeId(value, m_nSnapJobId);
    }
  }

  if (m_bSnapToTape && m_nSnapJobId == 0) m_nSnapJobId = m_nJobId;
  if (skipValidation) return 0;
  const bool levelValid = m_nBackupLevel == 1 || m_nBackupLevel == 2 || m_nBackupLevel == 4;
  // The subclient is looked up by 32-bit ids: a larger one would name another.
  if (m_nVornCellId == 0 || m_nVornCellId > UINT32_MAX || m_nAppId == 0 || m_nAppId > UINT32_MAX || m_nJobId == 0 ||
      !levelValid || m_sStowhost.empty())
    return -1;
  return 0;
}

int TarvosJobInfo::setJobResultsDir() {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 1, "VornCellId:%lu AppId:%lu BackupType:%d", static_cast<unsigned long>(m_nVornCellId),
               static_cast<unsigned long>(m_nAppId), m_nBackupLevel);
  if (GetSubclientDirAndFiles(static_cast<uint32_t>(m_nVornCellId), static_cast<uint32_t>(m_nAppId),
                              &m_oSubclientFiles, m_nBackupLevel, nullptr) == -1) {
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
