#pragma once
// The simulated services' records that the benchmarks' job arguments
// ("-a 2:7 -j 101 -t 2") name.
#include <string>

#include "platform/harness/index_harness.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/sim_harness.h"

// Subclient 2:7 of client 2 and its incremental job 101, with the token
// when one is given.
inline bool AddBenchSubclientAndJob(const std::string& token = std::string()) {
  platform::SubclientRecord subclient;
  subclient.cellId = 2;
  subclient.appId = 7;
  subclient.clientId = 2;
  platform::JobRecord job;
  job.jobId = 101;
  job.cellId = 2;
  job.appId = 7;
  job.level = 2;
  job.token = token;
  return blbsim::AddSubclient(subclient) && blbsim::AddJob(job);
}

// The above with token "tok", and the bitmap of the extents the index holds
// of component "C", which a synthetic full found missing extents in: the
// scan backs up only those missed.
inline bool SeedMissedExtentsOfComponentC(const std::string& indexBitmap) {
  return AddBenchSubclientAndJob("tok") && blbsim::SetVornServeHost("vs1") &&
         blbsim::SetRegistryValue("FileSystemAgent", "nBlkLvlBackupOnlyMissedExtentsInSFV", "1") &&
         blbsim::SetIndexExtentBitmap(2, 7, "C", indexBitmap);
}
