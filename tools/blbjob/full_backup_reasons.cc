#include "full_backup_reasons.h"

#include <algorithm>

namespace blbjob {
namespace {

// The library logs its decisions at level 0 (errors at -1): seen whatever
// level the log is set to.
constexpr int kDecisionLevel = 0;

// What the library's lines of such a decision say, wherever it takes it.
constexpr const char* kDecisions[] = {
    "forced as FULL backup",                           // an incremental's bitmap step gave up
    "Resetting bitmap",                                // a subclient cache it cannot trust
    "all bitmaps will be converted to dirty",          // the driver started tracking the device
    "converting bitmap to full",                       // no hook could guard the cache
    "will be marked FULL",                             // the fail-over list could not be read
    "Invoking FULL",                                   // a volume new, changed, or of an older record:
    "new in this backup",                              // why
    "Previous and current config for",                 // the device's geometry changed
    "Version change",                                  // its record is of an older version
    "Extent size in registry and for device differs",  // tracking restarted with another extent size
    "Volume or Extent size change detected",           // the device was resized
};

// The line as the log shows it after its prefix, without the library's tag.
std::string Words(const std::string& text) {
  std::string words = text;
  std::replace_if(
      words.begin(), words.end(), [](char c) { return c == '\n' || c == '\r' || c == '\t'; }, ' ');
  const std::string tag = "-BlockLevel- ";
  size_t start = words.find_first_not_of(' ');
  if (start != std::string::npos && words.compare(start, tag.size(), tag) == 0) start += tag.size();
  const size_t end = words.find_last_not_of(' ');
  return start == std::string::npos || end < start ? std::string() : words.substr(start, end - start + 1);
}

bool IsDecision(const std::string& words) {
  return std::any_of(std::begin(kDecisions), std::end(kDecisions),
                     [&](const char* decision) { return words.find(decision) != std::string::npos; });
}

}  // namespace

FullBackupReasons::FullBackupReasons() : m_rLog(platform::Log::Current()), m_oScope(*this) {}

std::string FullBackupReasons::Text() const {
  std::lock_guard<std::mutex> hold(m_oMutex);
  std::string text;
  for (const std::string& reason : m_vReasons) text += (text.empty() ? "" : "; ") + reason;
  return text.empty() ? "none logged" : text;
}

int FullBackupReasons::Level() {
  return std::max(m_rLog.Level(), kDecisionLevel);
}

void FullBackupReasons::Write(int level, const char* function, int line, const std::string& text) {
  if (level <= kDecisionLevel) {
    const std::string words = Words(text);
    std::lock_guard<std::mutex> hold(m_oMutex);
    if (IsDecision(words) && m_oSeen.insert(words).second) m_vReasons.push_back(words);
  }
  if (level <= m_rLog.Level()) m_rLog.Write(level, function, line, text);
}

}  // namespace blbjob
