#include "job_report.h"

#include <unistd.h>

#include <cstdio>

#include "platform/jobs/backup_level.h"
#include "platform/settings/settings.h"
#include "verbs/error_report.h"

namespace blbjob {

namespace {

constexpr double kBytesPerMB = 1024.0 * 1024.0;
constexpr auto kUpdateInterval = std::chrono::milliseconds(250);
// Into a file or a pipe each update is a line of its own, and fewer.
constexpr auto kLineInterval = std::chrono::milliseconds(5000);

double MBPerSecond(uint64_t bytes, double seconds) {
  return seconds > 0 ? bytes / kBytesPerMB / seconds : 0;
}

}  // namespace

std::string ReportFolder(uint64_t jobId) {
  return platform::Settings::StatePath("reports/" + std::to_string(jobId));
}

std::string HashFilePath(uint64_t jobId) {
  return ReportFolder(jobId) + "/hashes.txt";
}

void PrintJobLine(uint64_t jobId, bool full, int askedLevel, const std::string& whyFull) {
  const std::string level = full || askedLevel == KZ_BKP_LEVEL_FULL   ? "full"
                            : askedLevel == KZ_BKP_LEVEL_INCREMENTAL  ? "incremental"
                            : askedLevel == KZ_BKP_LEVEL_DIFFERENTIAL ? "differential"
                                                                      : std::to_string(askedLevel);
  std::printf("job=%llu level=%s report=%s%s%s%s\n", static_cast<unsigned long long>(jobId), level.c_str(),
              ReportFolder(jobId).c_str(), whyFull.empty() ? "" : " why=\"", whyFull.c_str(),
              whyFull.empty() ? "" : "\"");
}

void PrintSnapshotLine(const SnapshotSummary& summary) {
  std::printf("snapshot seconds=%.3f volumes=%zu forced_full=%zu\n", summary.seconds, summary.volumes,
              summary.forcedFull);
}

void PrintScanLine(const ScanSummary& summary) {
  std::printf("scan seconds=%.3f volumes=%zu collect_files=%zu extents_total=%llu extents_listed=%llu\n",
              summary.seconds, summary.volumes, summary.collectFiles,
              static_cast<unsigned long long>(summary.extentsTotal),
              static_cast<unsigned long long>(summary.extentsListed));
}

void PrintBackupLine(const BackupSummary& summary) {
  std::printf("backup seconds=%.3f streams=%d extents_read=%llu bytes=%llu mb_per_s=%.1f\n", summary.seconds,
              summary.streams, static_cast<unsigned long long>(summary.extentsRead),
              static_cast<unsigned long long>(summary.bytes), MBPerSecond(summary.bytes, summary.seconds));
}

int PhaseFailed(const char* phase, const CQiError& error) {
  std::fflush(stdout);
  tools::PrintError(std::string(phase) + " failed", error);
  return 1;
}

Progress::Progress(bool asked) : terminal_(::isatty(STDERR_FILENO) == 1), enabled_(asked || terminal_) {}

void Progress::Phase(const char* name) {
  clock_ = Stopwatch();
  if (enabled_) std::fprintf(stderr, "blbjob: %s ...\n", name);
}

void Progress::Update(uint64_t done, uint64_t total, uint64_t bytes) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> hold(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (printed_ && now - last_ < (terminal_ ? kUpdateInterval : kLineInterval)) return;
  last_ = now;
  Print(done, total, bytes);
}

void Progress::Finish(uint64_t done, uint64_t total, uint64_t bytes) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> hold(mutex_);
  Print(done, total, bytes);
  if (terminal_) std::fprintf(stderr, "\n");
}

void Progress::Print(uint64_t done, uint64_t total, uint64_t bytes) {
  printed_ = true;
  // On a terminal the line is rewritten in place.
  std::fprintf(stderr, "%sbackup: %llu of %llu extents, %.1f MB/s%s", terminal_ ? "\r" : "",
               static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
               MBPerSecond(bytes, clock_.Seconds()), terminal_ ? "" : "\n");
}

}  // namespace blbjob
