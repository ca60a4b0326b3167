// Single library operations whose files later jobs depend on, each as a
// process of its own, so that a test can kill it or fail its system calls:
//
//   crash_tool oracle-type CELL APP VOLUME      records the volume as DATA
//   crash_tool reset-cache CLIENT APP DEVICE DEVICEID SIZE
//                                               a subclient cache made all ones
//   crash_tool reset-full DIR                   ResetBitmapsForFull
//   crash_tool kzbf-job DEVICE FOLDER full|incr the bitmap steps of a job's
//                                               snapshot task for "/mnt/a" on
//                                               the KZBF device (subclient 2/7,
//                                               1 MiB extents, 2-byte bitmaps:
//                                               16 MiB), the bitmap file
//                                               in FOLDER; exits 3 when the
//                                               backup is full
//   crash_tool scan DIR [-j JOB] [-snapJID SNAPJOB] [-lsjid LAST]
//                   VOLUME=SNAPSHOT...          the incremental scan of job
//                                               JOB (101) of subclient 2/7,
//                                               one stream
//   crash_tool pseudosnap APPTYPE LEVEL DIR     job 101 of subclient 2/7
//                                               (job-results DIR) made from
//                                               job 55 (a synthetic full: 64),
//                                               its handler destroyed at the end
//
// Exits 0 on success, 1 with the error printed.
#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>
#include <vector>

#include "blocklevel/blocklevel.h"
#include "blocklevel/pseudo_snap_archive_handler.h"
#include "devconfig/oracle_volume_type.h"
#include "platform/snapshot/sm_vol_block.h"
#include "tracking/subclient_cache.h"
#include "tracking/volume_bitmap_helper_kzbf.h"

namespace {

constexpr int kFull = 3;

long long Number(const std::string& text) {
  return std::strtoll(text.c_str(), nullptr, 10);
}

CQiError ResetCache(const std::vector<std::string>& args) {
  const VolumeConfig record(2, Number(args[1]), Number(args[2]), args[3], args[4], 0, 0, 0, 0, "");
  CSubclientCache cache;
  CQiError err = cache.Initialize(static_cast<uint64_t>(Number(args[5])), record);
  if (!err.IsError()) err = cache.ResetBitmap(-1);
  return err;
}

CQiError ScanVolumes(const std::vector<std::string>& args) {
  std::vector<std::string> job = {"-a", "2:7", "-j", "101", "-t", "2", "-d", "ss1", "-jt", "tok"};
  std::list<ScanObjects_t> volumes;
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "-j" && i + 1 < args.size()) {
      job[3] = args[++i];
      continue;
    }
    if ((args[i] == "-lsjid" || args[i] == "-snapJID") && i + 1 < args.size()) {
      job.push_back(args[i]);
      job.push_back(args[++i]);
      continue;
    }
    const std::string::size_type equals = args[i].find('=');
    volumes.push_back({args[i].substr(0, equals), equals == std::string::npos ? "" : args[i].substr(equals + 1)});
  }
  int streams = 1;
  unsigned int total = 0;
  return CreateBlkLevelCollectFiles(job, 9, volumes, streams, 0, args[1], false, 0, false, total, nullptr);
}

CQiError KzbfJob(const std::vector<std::string>& args, bool& forceFull) {
  SMVolBlock volume;
  volume.sDevice = args[1];
  volume.sVolume = "/mnt/a";
  volume.nAppId = 7;
  volume.nVornCellId = 2;
  std::string bitmapFile;
  VolumeBitMapHelper::GenerateBitmapFileName(volume.sVolume, args[2], bitmapFile, volume.sDevice, "ext4");
  VolumeBitMapHelper_KZBF& strategy = *VolumeBitMapHelper_KZBF::GetVolumeHandler();
  const bool full = args[3] == "full";
  CQiError err;
  for (const bool preSnap : {true, false}) {
    // After the pre-snapshot step, as the bitmap step chooses: a volume it
    // forced full is done as a full.
    err = full || volume.bForceFull ? strategy.FullBitMapFormalities(volume, bitmapFile, 2, 1 << 20, preSnap)
                                    : strategy.IncrBitMapFormalities(volume, bitmapFile, 2, 1 << 20, preSnap);
    if (err.IsError()) return err;
  }
  forceFull = volume.bForceFull;
  return err;
}

CQiError PseudoSnap(const std::vector<std::string>& args) {
  KZJobCtrlClient jobCtrl("localclient");
  CPseudoSnapArchiveHandler handler;
  CQiError err =
      handler.Initialize(2, 7, static_cast<uint32_t>(Number(args[1])), static_cast<KZBkpLevel>(Number(args[2])), 101,
                         55, 0, 0, 2, args[3], "ss1", "tok", &jobCtrl, true, false);
  if (!err.IsError()) err = handler.CreatePseudoSnapArchive(nullptr);
  return err;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const std::string verb = args.empty() ? "" : args[0];
  CQiError result;
  if (verb == "oracle-type" && args.size() == 4) {
    result = devconfig::WriteOracleVolumeType(true, 22, static_cast<int>(Number(args[2])),
                                              static_cast<int>(Number(args[1])), args[3], false);
  } else if (verb == "reset-cache" && args.size() == 6) {
    result = ResetCache(args);
  } else if (verb == "kzbf-job" && args.size() == 4) {
    bool forceFull = false;
    result = KzbfJob(args, forceFull);
    if (!result.IsError() && forceFull) return kFull;
  } else if (verb == "scan" && args.size() >= 3) {
    result = ScanVolumes(args);
  } else if (verb == "pseudosnap" && args.size() == 4) {
    result = PseudoSnap(args);
  } else if (verb == "reset-full" && args.size() == 2) {
    result = ResetBitmapsForFull(args[1]);
  } else {
    std::fprintf(
        stderr,
        "usage: crash_tool oracle-type CELL APP VOLUME | reset-cache CLIENT APP DEVICE DEVICEID SIZE | "
        "reset-full DIR | kzbf-job DEVICE FOLDER full|incr | "
        "scan DIR [-j JOB] [-snapJID SNAPJOB] [-lsjid LAST] VOLUME=SNAPSHOT... | pseudosnap APPTYPE LEVEL DIR\n");
    return 2;
  }
  if (!result.IsError()) return 0;
  std::printf("error: %s\n", result.AsString().c_str());
  return 1;
}
