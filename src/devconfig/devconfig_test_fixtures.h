#pragma once
// What the handler tests share: the job they run for and the header line of
// the configuration files, spelled out as the files carry it.
#include <string>

#include "records/tarvos_job_info.h"

namespace devconfig_test {

constexpr const char* kHeader =
    "# IsSupported|SourceVolume|SourceDevice|FSType|MountOptions|ExtentSize|TotalBlocks"
    "|FSBlockSize|BitMapSize|LogSectorSz|PhySectorSz|IOMinSz|IOOptimalSz|Version\n";

// Job 12 of subclient 2/5, stored on "ma1".
inline TarvosJobInfo Job(const std::string& jobResultsDir) {
  TarvosJobInfo job;
  job.SetVornCellId(2);
  job.SetAppId(5);
  job.SetJobId(12);
  job.SetJobResultsDir(jobResultsDir);
  job.SetStowhost("ma1");
  return job;
}

}  // namespace devconfig_test
