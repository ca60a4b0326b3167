#pragma once
// What the handler tests share: the job they run for and the header line of
// the configuration files, spelled out as the files carry it.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/harness/job_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/sim/fs_util.h"
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

// The vtable slot a virtual member function occupies (Itanium C++ ABI: a
// pointer to a virtual member holds 1 + the slot's byte offset).
template <class Member>
long SlotOf(Member member) {
  struct {
    uintptr_t pointer;
    ptrdiff_t adjustment;
  } representation;
  static_assert(sizeof(member) == sizeof(representation), "unexpected member pointer layout");
  std::memcpy(&representation, &member, sizeof representation);
  if ((representation.pointer & 1) == 0) return -1;
  return static_cast<long>((representation.pointer - 1) / sizeof(void*));
}

// The arguments of job 1001 of subclient 2/7 at a level, as the agent passes
// them; more arguments follow the token.
inline std::vector<std::string> UnixJobArgs(int level, std::vector<std::string> more = {}) {
  std::vector<std::string> args = {"-a", "2:7", "-j", "1001", "-t", std::to_string(level), "-d", "stow1", "-jt", "TOK"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// Subclient 2/7 of this machine's client 2 (its job results in
// <state>/jobresults/2/7, made as the agent makes it) and its running job
// 1001 at the level.
inline void AddUnixJob(int level) {
  platform::SubclientRecord subclient;
  subclient.cellId = 2;
  subclient.appId = 7;
  subclient.clientId = 2;
  subclient.blockLevelFlags = platform::SubclientRecord::kBlockLevel;
  blbsim::AddSubclient(subclient);
  platform::MakeDirectories(blbsim::SubclientJobResultsDir(2, 7).value_or("/nonexistent"));
  platform::JobRecord job;
  job.jobId = 1001;
  job.cellId = 2;
  job.appId = 7;
  job.level = level;
  job.token = "TOK";
  blbsim::AddJob(job);
}

}  // namespace devconfig_test
