// The pseudo-snap phase of a job: a finished snapshot job becomes this
// block-level backup job through the library's pseudo-snap handler, as the
// agent runs it.
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>

#include "blocklevel/pseudo_snap_archive_handler.h"
#include "job_command.h"
#include "platform/config/agent_config.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/snap_harness.h"
#include "platform/indexing/index_carry_forward.h"
#include "platform/services/archive_manager.h"
#include "platform/sim/state_db_failure.h"
#include "platform/text/fx_string.h"
#include "verbs/error_report.h"

namespace blbjob {
namespace {

constexpr int kSnapshotArchFileType = 6;
// The file-system application type a job of a subclient without one runs as.
constexpr uint32_t kFileSystemAppType = 29;

struct PseudoSnapOptions {
  uint64_t snapJobId = 0;
  uint32_t appType = 0;
  uint32_t copyId = 0;
  uint32_t snapClientId = 0;
  bool v2 = true;
  bool metadata = false;
};

// The snapshot service is asked for a job's record by the low 32 bits of
// its job ids: a larger one would name another job's record.
constexpr uint64_t kLargestSnapRecordJobId = UINT32_MAX;
constexpr const char* kSnapRecordJobIdLimit = "the snapshot service is asked for a job's record by a 32-bit job id";

bool ReadValue(const tools::Args& options, size_t& i, uint64_t least, uint64_t most, uint64_t& value,
               std::string& why) {
  const std::string& option = options[i];
  unsigned long long read = 0;
  if (i + 1 == options.size()) {
    why = option + " needs a value";
  } else if (!tools::ReadNumber(options[++i], most, read) || read < least) {
    why = option + " " + options[i] + ": not a number from " + std::to_string(least) + " to " + std::to_string(most);
  }
  value = read;
  return why.empty();
}

// False, with what is wrong in `why`.
bool ReadOptions(const tools::Args& options, PseudoSnapOptions& read, std::string& why) {
  bool snapJobGiven = false;
  for (size_t i = 0; i < options.size() && why.empty(); ++i) {
    const std::string& option = options[i];
    uint64_t value = 0;
    if (option == "--snap-job") {
      snapJobGiven = ReadValue(options, i, 1, kLargestSnapRecordJobId, value, why);
      if (!snapJobGiven) why += std::string(" (") + kSnapRecordJobIdLimit + ")";
      read.snapJobId = value;
    } else if (option == "--app-type") {
      if (ReadValue(options, i, 0, UINT32_MAX, value, why)) read.appType = static_cast<uint32_t>(value);
    } else if (option == "--copy-id") {
      if (ReadValue(options, i, 0, UINT32_MAX, value, why)) read.copyId = static_cast<uint32_t>(value);
    } else if (option == "--snap-client") {
      if (ReadValue(options, i, 0, UINT32_MAX, value, why)) read.snapClientId = static_cast<uint32_t>(value);
    } else if (option == "--no-v2") {
      read.v2 = false;
    } else if (option == "--metadata") {
      read.metadata = true;
    } else {
      why = "unknown option " + option;
    }
  }
  if (why.empty() && !snapJobGiven) why = "no --snap-job given";
  return why.empty();
}

// The snapshot engine's record of what the job command's snapshot phase of
// the snapshot job took: per volume its path, mount options, a new archive
// file of the snapshot job and a snap naming the device.
bool RecordSnapshotJob(const TarvosJobInfo& job, uint64_t snapJobId) {
  const uint32_t cellId = static_cast<uint32_t>(job.GetVornCellId());
  std::optional<SMVolSnapInfo> stored;
  std::vector<blbsim::JobVolumeRecord> volumes;
  // A record that cannot be read is never made anew over the one stored.
  platform::StateDbResult read = blbsim::FindSnapRecord(snapJobId, cellId, stored);
  if (read && stored) return true;
  if (read) read = blbsim::JobVolumes(snapJobId, volumes);
  if (!read) {
    tools::PrintError("cannot read what job " + std::to_string(snapJobId) + " recorded",
                      platform::StateDbFailure(FXCODELOC, read, "Cannot read the records of snapshot job %llu",
                                               static_cast<unsigned long long>(snapJobId)));
    return false;
  }
  if (volumes.empty()) {
    tools::PrintErrorLine("job %llu recorded no snapshot", static_cast<unsigned long long>(snapJobId));
    return false;
  }
  platform::ArchiveManagerBackend& archives = platform::ArchiveManager::Current();
  std::string text = "job=" + std::to_string(snapJobId) + " snapjob=" + std::to_string(snapJobId) +
                     " cell=" + std::to_string(cellId) + " engine=0 copy=0 synthfull=0\n";
  std::string snaps, maps;
  int id = 0;
  for (const blbsim::JobVolumeRecord& volume : volumes) {
    platform::ArchiveFileRecord file;
    file.jobId = snapJobId;
    file.appId = job.GetAppId();
    file.cellId = cellId;
    file.archFileType = kSnapshotArchFileType;
    file.createTime = static_cast<uint64_t>(std::time(nullptr));
    const platform::StateDbResult put = archives.PutUnderNextId(file);
    if (!put) {
      tools::PrintError("cannot record snapshot job " + std::to_string(snapJobId),
                        platform::StateDbFailure(FXCODELOC, put, "Cannot add an archive file"));
      return false;
    }
    const std::string number = std::to_string(++id);
    text += "volume id=" + number + " path=" + volume.volume + " options=" + volume.mountOptions +
            " flags=0x0 afile=" + std::to_string(file.archFileId) + "\n";
    snaps += "snap id=" + number + " source=" + volume.device + "\n";
    maps += "map volume=" + number + " snap=" + number + " metadata=0\n";
  }
  std::string why;
  if (blbsim::AddSnapRecord(text + snaps + maps, why)) return true;
  tools::PrintErrorLine("cannot record snapshot job %llu: %s", static_cast<unsigned long long>(snapJobId), why.c_str());
  return false;
}

const char* LevelName(int level) {
  if (level == KZ_BKP_LEVEL_FULL) return "full";
  if (level == KZ_BKP_LEVEL_SYNTHFULL) return "synthfull";
  return "incremental";
}

int PseudoSnap(const tools::Args& args) {
  Command command;
  PseudoSnapOptions options;
  std::string why;
  if (!ReadCommand(args, command, why)) return tools::UsageError("pseudosnap", why);
  if (!ReadOptions(command.options, options, why)) return tools::UsageError("pseudosnap", why);
  if (command.job.GetJobId() > kLargestSnapRecordJobId)
    return tools::UsageError("pseudosnap", "job argument -j " + std::to_string(command.job.GetJobId()) + ": above " +
                                               std::to_string(kLargestSnapRecordJobId) + " (" + kSnapRecordJobIdLimit +
                                               ")");
  if (!EnsureJobKnownOrSay(command)) return 1;
  const TarvosJobInfo& job = command.job;
  if (!RecordSnapshotJob(job, options.snapJobId)) return 1;
  platform::AgentConfigBackend& config = platform::AgentConfig::Current();
  std::optional<platform::SubclientRecord> subclient;
  std::optional<std::string> subclientDir;
  std::optional<platform::ClientRecord> local;
  uint64_t localId = 0;
  platform::StateDbResult read = config.FindSubclient(job.GetVornCellId(), job.GetAppId(), subclient);
  if (read) read = platform::SubclientJobResultsDir(job.GetVornCellId(), job.GetAppId(), subclientDir);
  if (read) read = config.LocalClientId(localId);
  if (read) read = config.FindClient(localId, local);
  if (!read) {
    tools::PrintError("cannot read the job's subclient",
                      platform::StateDbFailure(FXCODELOC, read, "Cannot read the configuration"));
    return 1;
  }
  if (!subclient || !subclientDir) return 1;
  KZJobCtrlClient jobCtrl(local ? local->name : std::string());

  if (options.appType == 0)
    options.appType = subclient->appType != 0 ? static_cast<uint32_t>(subclient->appType) : kFileSystemAppType;
  const auto started = std::chrono::steady_clock::now();
  CPseudoSnapArchiveHandler handler;
  const KZBkpLevel level = static_cast<KZBkpLevel>(job.GetBackupLevel());
  CQiError error = handler.Initialize(static_cast<uint32_t>(job.GetVornCellId()), static_cast<uint32_t>(job.GetAppId()),
                                      options.appType, level, job.GetJobId(), options.snapJobId, options.copyId,
                                      options.snapClientId, static_cast<uint32_t>(subclient->clientId), *subclientDir,
                                      job.GetStowhost(), job.GetJobToken(), &jobCtrl, options.v2, options.metadata);
  std::vector<uint32_t> ids;
  if (!error.IsError()) error = handler.CreatePseudoSnapArchive(&ids);
  if (error.IsError()) {
    tools::PrintError("pseudosnap failed", error);
    return 1;
  }
  // A job without indexing V2 leaves no cumulative bitmaps to hand over.
  std::map<std::string, std::string> bitmaps;
  if (FXPath::DoesPathExist(*subclientDir + "/BlockLevelCumulativeBM")) error = handler.GetCumulativeBmpMap(bitmaps);
  if (error.IsError()) {
    tools::PrintError("pseudosnap cumulative bitmaps", error);
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::string files;
  for (uint32_t id : ids) files += (files.empty() ? "" : ",") + std::to_string(id);
  std::printf("pseudosnap job=%llu snapjob=%llu level=%s afiles=%s marker=%s/%llu_PSnapADone.kzf seconds=%.3f\n",
              static_cast<unsigned long long>(job.GetJobId()), static_cast<unsigned long long>(options.snapJobId),
              LevelName(job.GetBackupLevel()), files.c_str(), subclientDir->c_str(),
              static_cast<unsigned long long>(job.GetJobId()), seconds);
  std::vector<std::string> items;
  std::vector<platform::IndexCarryForwardRecord> carried;
  read = blbsim::IndexItems(job.GetJobId(), items);
  if (read) read = platform::IndexCarryForwards(job.GetJobId(), carried);
  if (read)
    std::printf("index items=%zu carryfwd=%zu cumulative=%zu\n", items.size(), carried.size(), bitmaps.size());
  else
    tools::PrintError("cannot count what the job indexed",
                      platform::StateDbFailure(FXCODELOC, read, "Cannot read the index of job %llu",
                                               static_cast<unsigned long long>(job.GetJobId())));
  return RecordPhaseEnd(job.GetJobId()) && read ? 0 : 1;
}

const tools::VerbRegistration kPseudoSnapVerbs({
    {"pseudosnap",
     "--snap-job S [--app-type N (default: the subclient's, else 29)] [--copy-id N] [--snap-client N] [--no-v2] "
     "[--metadata] -- JOBARGS",
     "turns snapshot job S into this block-level backup job: pseudo archive files, the cloned snap record and "
     "the done marker, the index items and carry-forward, the cumulative bitmaps",
     PseudoSnap},
});

}  // namespace
}  // namespace blbjob
