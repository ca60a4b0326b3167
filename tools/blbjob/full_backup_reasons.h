#pragma once
// Why the library made a job full that was asked as an incremental, in the
// words of its log. The snapshot task decides it in many places (a bitmap or
// a subclient cache it cannot trust, tracking of the device started afresh,
// a volume new or changed since the last backup) and tells the job only
// that a volume or the job went full; each of those places logs its cause.
// So for its life an object of this class sees every log line of the
// process on its way to the log, and keeps those that state such a decision.
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/log/log_backend.h"

namespace blbjob {

class FullBackupReasons : public platform::LogBackend {
 public:
  FullBackupReasons();
  FullBackupReasons(const FullBackupReasons&) = delete;
  FullBackupReasons& operator=(const FullBackupReasons&) = delete;

  // The decisions logged so far, each once, in the order logged, joined by
  // "; "; "none logged" when there were none.
  std::string Text() const;

  int Level() override;
  void Write(int level, const char* function, int line, const std::string& text) override;

 private:
  // The log the lines go on to, as configured: its level still decides
  // what reaches it.
  platform::LogBackend& m_rLog;
  mutable std::mutex m_oMutex;
  std::vector<std::string> m_vReasons;
  std::set<std::string> m_oSeen;
  // Last: the object is complete before the library's lines reach it, and
  // the log it replaced is back before its parts go.
  platform::Log::Scope m_oScope;
};

}  // namespace blbjob
