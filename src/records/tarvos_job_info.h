#pragma once
// The identity of one backup job, parsed from the agent's argument vector.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/config/agent_config.h"

class TarvosJobInfo {
 public:
  static constexpr size_t kJobTokenSize = 64;

  TarvosJobInfo();
  TarvosJobInfo(int argc, const char* const* argv);
  explicit TarvosJobInfo(const std::vector<std::string>& args);

  // 0 on success, -1 when an option lacks its value or (unless skipped) the
  // ids, level or storage server are not valid. Fields read before a failure
  // keep their values.
  int ParseArgs(bool skipValidation);
  // Resolves the subclient's job-results directory; 0 or -1.
  int setJobResultsDir();
  void logArguments() const;

  uint64_t GetVornCellId() const { return m_nVornCellId; }
  uint64_t GetAppId() const { return m_nAppId; }
  uint64_t GetJobId() const { return m_nJobId; }
  uint64_t GetSnapJobId() const { return m_nSnapJobId; }
  int GetBackupLevel() const { return m_nBackupLevel; }
  bool IsSnapToTape() const { return m_bSnapToTape; }
  const std::string& GetJobResultsDir() const { return m_sJobResultsDir; }
  const std::string& GetStowhost() const { return m_sStowhost; }
  const std::vector<std::string>& GetArgs() const { return m_vArgs; }
  // All 64 token bytes, always followed by a terminating zero.
  const char* GetJobToken() const { return m_szJobToken; }

  void SetVornCellId(const uint64_t& id) { m_nVornCellId = id; }
  void SetAppId(const uint64_t& id) { m_nAppId = id; }
  void SetJobId(const uint64_t& id) { m_nJobId = id; }
  void SetJobResultsDir(const std::string& dir) { m_sJobResultsDir = dir; }
  void SetStowhost(const std::string& host) { m_sStowhost = host; }

 private:
  uint64_t m_nVornCellId = 0;
  uint64_t m_nAppId = 0;
  uint64_t m_nJobId = 0;
  uint64_t m_nSnapJobId = 0;
  std::string m_sJobResultsDir;
  std::string m_sStowhost;
  // One byte more than the token so that a 64-byte token is still a
  // terminated text when handed on.
  char m_szJobToken[kJobTokenSize + 1] = {};
  bool m_bSnapToTape = false;
  std::vector<std::string> m_vArgs;
  subclientFiles m_oSubclientFiles;
  int m_nBackupLevel = 0;
};
