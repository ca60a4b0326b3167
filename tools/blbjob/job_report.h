#pragma once
// What the scan, backup and run verbs tell: the summary lines on stdout,
// the progress on stderr, and the job's report folder under the state
// directory, where the backup leaves the job's hash file.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/error/qi_error.h"

namespace blbjob {

// "<state directory>/reports/<job id>".
std::string ReportFolder(uint64_t jobId);
// The backup's "<volume>|<extent name>|<md5>" lines in the report folder.
std::string HashFilePath(uint64_t jobId);

struct SnapshotSummary {
  double seconds = 0;
  size_t volumes = 0;
  size_t forcedFull = 0;
};

struct ScanSummary {
  double seconds = 0;
  size_t volumes = 0;
  size_t collectFiles = 0;
  uint64_t extentsTotal = 0;
  uint64_t extentsListed = 0;
};

struct BackupSummary {
  double seconds = 0;
  int streams = 0;
  uint64_t extentsRead = 0;
  uint64_t bytes = 0;
};

// The level is "full" when the job runs as one, else the level its
// arguments ask for: "incremental", or "differential" (-t 4), which the
// snapshot task refuses. whyFull, when not empty: why a job asked as an
// incremental runs full.
void PrintJobLine(uint64_t jobId, bool full, int askedLevel, const std::string& whyFull = std::string());
void PrintSnapshotLine(const SnapshotSummary& summary);
void PrintScanLine(const ScanSummary& summary);
void PrintBackupLine(const BackupSummary& summary);

// Tells the failure in one line on stderr, naming the failed phase and the
// library's error; 1.
int PhaseFailed(const char* phase, const CQiError& error);

// Seconds since the stopwatch was made.
class Stopwatch {
 public:
  double Seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Progress on stderr, when stderr is a terminal or it was asked for: a line
// per phase start, and the backup's extents done of total with its rate,
// on a terminal one line rewritten at most four times a second, elsewhere
// (a file, a pipe) a line every five seconds. Update may be called from any
// thread.
class Progress {
 public:
  explicit Progress(bool asked);
  bool Enabled() const { return enabled_; }
  // Starts the rate's clock too.
  void Phase(const char* name);
  void Update(uint64_t done, uint64_t total, uint64_t bytes);
  // Ends the updating line.
  void Finish(uint64_t done, uint64_t total, uint64_t bytes);

 private:
  void Print(uint64_t done, uint64_t total, uint64_t bytes);

  bool terminal_;
  bool enabled_;
  bool printed_ = false;
  Stopwatch clock_;
  std::chrono::steady_clock::time_point last_{};
  std::mutex mutex_;
};

}  // namespace blbjob
