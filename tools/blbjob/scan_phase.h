#pragma once
// The scan phase of a job, as the agent runs it: the previous job's working
// files cleared when a new job starts, CreateBlkLevelCollectFiles over the
// job's volumes and snapshots, and the list of collect files checked for
// every volume.
#include <string>
#include <vector>

#include "job_context.h"
#include "job_report.h"

namespace blbjob {

struct ScanOptions {
  int streams = 1;
  bool multipleReaders = false;
  int starvation = 1;
  // Re-reads the extents the change bitmap leaves out and backs up those
  // whose hash the index does not hold (the job's quit flag stops it).
  bool trueUp = false;
};

// One line of "ListOfCollect.txt": a volume and one of its collect files.
struct ListedCollectFile {
  std::string volume;
  std::string path;
};
// The collect files the scan listed, in the list's order; a line that is
// not "volume|path|id" fails.
CQiError ReadListOfCollect(const std::string& jobResultsDir, std::vector<ListedCollectFile>& files);

// Whether the scan files of the job-results directory are the job's: its
// scan ran (or began) there since another job's.
bool ScanFilesBelongTo(const std::string& jobResultsDir, uint64_t jobId);

// Runs the scan. The library's failure comes back as it is; a volume the
// scan left out of the list (its collect files failed) is named in the
// failure.
CQiError RunScan(const JobContext& context, const ScanOptions& options, ScanSummary& summary);

}  // namespace blbjob
