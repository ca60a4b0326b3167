// The snapshot phase of a job, as the agent runs it: the handler from the
// job arguments, the previous job's bitmaps cleaned, the configuration
// opened, the pre-snap task, one snapshot per device, the post-snap task;
// then what the phase left, per volume and for the job.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>

#include "blocklevel/blocklevel.h"
#include "devconfig/kz_device_config_handler.h"
#include "full_backup_reasons.h"
#include "held_snapshots.h"
#include "job_bookkeeping.h"
#include "job_command.h"
#include "job_context.h"
#include "job_report.h"
#include "job_volumes.h"
#include "platform/event/ev_event.h"
#include "platform/harness/job_harness.h"
#include "platform/jobs/backup_level.h"
#include "platform/sim/state_db_failure.h"
#include "record_texts.h"
#include "snapshot_options.h"
#include "stale_snapshots.h"
#include "subclient_lock.h"
#include "subclient_volumes.h"
#include "tracking/configured_extent_size.h"
#include "tracking/volume_bitmap_helper.h"
#include "verbs/error_report.h"

namespace blbjob {
namespace {

// Set bits among the first `extents` bits of the bitmap.
uint64_t SetBits(const unsigned char* bitmap, unsigned long size, uint64_t extents) {
  uint64_t set = 0;
  for (uint64_t i = 0; i < extents && i / 8 < size; ++i) set += (bitmap[i / 8] >> (i % 8)) & 1;
  return set;
}

// The bitmap file and the set bits of a volume, as the scan will read them:
// through a handler made from the job identity.
struct BitmapSummary {
  std::string file;
  std::string bits = "no bitmap";
};

std::map<std::string, BitmapSummary> ReadBitmaps(TarvosJobInfo job, const std::vector<SMVolBlock>& volumes) {
  std::map<std::string, BitmapSummary> found;
  if (job.setJobResultsDir() != 0) return found;
  std::unique_ptr<KzDeviceConfigHandler> reader(KzDeviceConfigHandler::GetDeviceConfigHandler(job));
  if (reader->InitRead().IsError()) return found;
  for (const SMVolBlock& volume : volumes) {
    BackupDeviceInfo device;
    if (reader->GetDeviceConfigForVolume(volume.sVolume, device, volume.sDevice).IsError()) continue;
    BitmapSummary& summary = found[volume.sVolume];
    VolumeBitMapHelper::GenerateBitmapFileName(volume.sVolume, job.GetJobResultsDir(), summary.file,
                                               device.GetSourceDeviceName(), device.GetFSType());
    unsigned char* bitmap = nullptr;
    unsigned long size = 0;
    unsigned char flag = 0;
    if (reader->GetBitMapInfo(volume.sVolume, bitmap, size, flag).IsError()) {
      summary.file.clear();
    } else {
      summary.bits = std::to_string(SetBits(bitmap, size, device.GetTotalExtents())) + " of " +
                     std::to_string(device.GetTotalExtents());
    }
    std::free(bitmap);
  }
  return found;
}

// What the job records of a volume before its bitmap is known.
blbsim::JobVolumeRecord VolumeRecord(const SMVolBlock& volume, const std::map<std::string, TakenSnapshot>& snapshots) {
  blbsim::JobVolumeRecord record;
  record.volume = volume.sVolume;
  record.device = volume.sDevice;
  record.fsType = volume.sFSType;
  record.mountOptions = volume.sMountOptions;
  record.forceFull = volume.bForceFull;
  auto snapshot = snapshots.find(volume.sDevice);
  if (snapshot != snapshots.end()) {
    record.snapshot = snapshot->second.device;
    record.snapshotImage = snapshot->second.image;
  }
  return record;
}

void RecordVolumes(uint64_t jobId, const std::vector<blbsim::JobVolumeRecord>& records) {
  const platform::StateDbResult stored = blbsim::SetJobVolumes(jobId, records);
  if (!stored)
    tools::PrintError("cannot record the job's volumes",
                      platform::StateDbFailure(FXCODELOC, stored, "Cannot store the volumes of job %llu",
                                               static_cast<unsigned long long>(jobId)));
}

// Records the volumes with the job and prints what the phase left; why a
// job asked as an incremental runs full, when it does. False, told on
// stderr, when what it prints cannot be read.
bool Summarize(const Command& command, const std::vector<SMVolBlock>& volumes,
               const std::map<std::string, TakenSnapshot>& snapshots, size_t eventsBefore,
               const FullBackupReasons& reasons) {
  const uint64_t jobId = command.job.GetJobId();
  const std::map<std::string, BitmapSummary> bitmaps = ReadBitmaps(command.job, volumes);
  std::vector<blbsim::JobVolumeRecord> records;
  std::printf("summary:\n");
  for (const SMVolBlock& volume : volumes) {
    blbsim::JobVolumeRecord record = VolumeRecord(volume, snapshots);
    auto bitmap = bitmaps.find(volume.sVolume);
    const BitmapSummary summary = bitmap != bitmaps.end() ? bitmap->second : BitmapSummary();
    record.bitmapFile = summary.file;
    records.push_back(record);
    std::printf("  volume %s: device %s, snapshot %s, bitmap %s, %s, %s\n", volume.sVolume.c_str(),
                volume.sDevice.c_str(), record.snapshot.empty() ? "none" : record.snapshot.c_str(),
                summary.file.empty() ? "none" : summary.file.c_str(), summary.bits.c_str(),
                volume.bForceFull ? "force-full" : "changed extents only");
  }
  RecordVolumes(jobId, records);
  std::optional<platform::JobRecord> job;
  std::vector<platform::RaisedEvent> events;
  platform::StateDbResult read = blbsim::FindJob(jobId, job);
  if (read) read = platform::StoredEvents(events);
  if (!read) {
    tools::PrintError(
        "cannot read what the phase left",
        platform::StateDbFailure(FXCODELOC, read, "Cannot read job %llu", static_cast<unsigned long long>(jobId)));
    return false;
  }
  const bool whyFull = command.job.GetBackupLevel() != KZ_BKP_LEVEL_FULL && RunsAsFull(command, job, records);
  std::printf("  job %llu: level %d, %llu conversions%s%s\n", static_cast<unsigned long long>(jobId),
              job ? job->level : 0, job ? static_cast<unsigned long long>(job->conversions) : 0ULL,
              whyFull ? "; runs full: " : "", whyFull ? reasons.Text().c_str() : "");
  for (size_t i = eventsBefore; i < events.size(); ++i) {
    std::printf("  event 0x%08X job=%lld", static_cast<unsigned>(events[i].eventId), events[i].jobId);
    for (const std::string& argument : events[i].arguments) std::printf(" [%s]", argument.c_str());
    std::printf("\n");
  }
  return true;
}

int Snapshot(const tools::Args& args) {
  Command command;
  SnapshotOptions options;
  std::string wrong;
  if (!ReadCommand(args, command, wrong)) return tools::UsageError("snapshot", wrong);
  if (!ReadSnapshotOptions(command.options, options, wrong)) return tools::UsageError("snapshot", wrong);
  std::vector<SMVolBlock> volumes(options.paths.size());
  std::set<std::string> named;
  for (size_t i = 0; i < options.paths.size(); ++i) {
    if (!ResolveVolume(options.paths[i], command.job, options.appType, volumes[i]) || !FitsTheJobRecords(volumes[i]))
      return 2;
    // The scan writes one volume's lists once: a second entry would be
    // counted again but read once.
    if (!named.insert(volumes[i].sVolume).second) {
      tools::PrintErrorLine("volume %s is given twice", volumes[i].sVolume.c_str());
      return 2;
    }
  }
  for (const SMVolBlock& volume : volumes)
    if (!CanReadDevice(volume)) return 1;
  SubclientLock lock;
  if (!lock.Take("snapshot", command.job)) return 1;
  // Another snapshot would take the job's record of the first, which then
  // nothing releases.
  if (RefusedWhileHeld(command.job.GetJobId())) return 1;
  std::string why;
  if (!ContinuesFromCompletedJob(command, false, why)) {
    tools::PrintErrorLine("%s", why.c_str());
    return 1;
  }
  if (!EnsureJobKnownOrSay(command)) return 1;
  // The pre-snap task's checks keep the tracking only of the devices the
  // content list finds configured for a subclient.
  if (!EnsureSubclientBacksUpVolumesOrSay(command, options.appType, volumes)) return 1;
  std::vector<platform::RaisedEvent> eventsBefore;
  const platform::StateDbResult events = platform::StoredEvents(eventsBefore);
  if (!events) {
    tools::PrintError("cannot read the events raised so far",
                      platform::StateDbFailure(FXCODELOC, events, "Cannot read the events"));
    return 1;
  }
  FullBackupReasons reasons;
  std::unique_ptr<KzDeviceConfigHandler> handler(GetBlockDeviceConfigHandler(command.jobArgs));
  if (!handler) {
    tools::PrintErrorLine("the library made no handler for the job arguments");
    return 1;
  }
  const unsigned long extentSizeMiB = static_cast<unsigned long>(tracking::ConfiguredExtentSize() >> 20);
  const unsigned long level = static_cast<unsigned long>(command.job.GetBackupLevel());
  std::map<std::string, TakenSnapshot> snapshots;
  int status = 0;
  // The files left in the job-results directory are the previous job's: its
  // bitmaps go, its configuration is read as the previous backup's.
  CQiError error = handler->CleanPrevJobConfigFiles();
  if (error.IsError()) status = PhaseFailed("clean", error);
  if (status == 0) {
    handler->InitWrite(options.metadata, true);
    const DriverSnapshots before(volumes);
    error = handler->ExecutePrePostSnapTask(volumes, extentSizeMiB, level, options.checks ? 1 : 0, false);
    before.RecordThoseGone();
    status = error.IsError() ? PhaseFailed("pre-snap", error) : (std::printf("pre-snap: ok\n"), 0);
  }
  if (status == 0) {
    // Each snapshot is recorded as soon as it is kept: a command interrupted
    // while taking the next one leaves it for release.
    const auto record = [&](const std::map<std::string, TakenSnapshot>& kept) {
      std::vector<blbsim::JobVolumeRecord> taken;
      for (const SMVolBlock& volume : volumes) taken.push_back(VolumeRecord(volume, kept));
      RecordVolumes(command.job.GetJobId(), taken);
    };
    error = SnapshotDevices(command.job.GetJobId(), volumes, snapshots, record);
    record(snapshots);
    for (const auto& [device, snapshot] : snapshots)
      std::printf("snapshot %s: %s\n", device.c_str(), snapshot.device.c_str());
    if (error.IsError()) status = PhaseFailed("snapshot", error);
  }
  if (status == 0) {
    error = handler->ExecutePrePostSnapTask(volumes, extentSizeMiB, level, options.noShip ? 1 : 0, true);
    status = error.IsError() ? PhaseFailed("post-snap", error) : (std::printf("post-snap: ok\n"), 0);
  }
  handler.reset();
  if (!Summarize(command, volumes, snapshots, eventsBefore.size(), reasons)) status = 1;
  if (status == 0 && !RecordPhaseEnd(command.job.GetJobId())) status = 1;
  return status;
}

const tools::VerbRegistration kSnapshotVerbs({
    {"snapshot", "--volume PATH... [--app-type N] [--checks] [--no-ship] [--metadata] -- JOBARGS",
     "the job's snapshot phase: pre-snap, one snapshot per device, post-snap; a summary of what it left", Snapshot},
});

}  // namespace
}  // namespace blbjob
