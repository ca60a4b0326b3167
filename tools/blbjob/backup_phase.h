#pragma once
// The backup phase of a job, as the agent runs it: the scan's collect files
// handed out by the library's collect-file manager to N stream threads,
// each draining a volume reader over the volume's shared device reader;
// every extent read becomes a line "<volume>|<extent name>|<md5>" of the
// job's hash file, sorted by volume and extent.
#include "job_context.h"
#include "job_report.h"
#include "platform/hashing/hash_read_handler.h"

namespace blbjob {

struct BackupOptions {
  int streams = 1;
  DeviceHashComputeMode mode = HC_READ_AND_HASH_THREADS;
  // Extents read ahead (Initialize3); 0 reads without a read-ahead handler.
  unsigned long long readAhead = 0;
};

CQiError RunBackup(const JobContext& context, const BackupOptions& options, Progress& progress, BackupSummary& summary);

}  // namespace blbjob
