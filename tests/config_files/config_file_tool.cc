// A job's use of its device-configuration files, as a process of its own, so
// that a test can kill it at a system call or fail one of its reads.
//
//   config_file_tool write PATH [--append] VOLUME...   one record per volume
//   config_file_tool read PATH                         the volumes, then "end"
//   config_file_tool snapshot DIR COUNT GENERATION     a job's pre-snap and
//       post-snap steps writing COUNT volumes' records; every volume but the
//       first grows with each generation
//   config_file_tool next DIR COUNT GENERATION         the next job's decision
//       over the same volumes: "trusted N full M"
// COUNT is 0..100000 and GENERATION 0..1000000: anything else prints the
// usage (exit 2).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "devconfig/kz_device_config_handler.h"
#include "records/block_device_config.h"
#include "support/count_argument.h"

namespace {

int Write(const std::string& path, bool append, const std::vector<std::string>& volumes) {
  BlockDeviceConfigReaderWriter_UNIX writer;
  CQiError result = writer.InitWrite(path, true, append);
  for (size_t i = 0; i < volumes.size() && !result.IsError(); ++i)
    result = writer.WriteNextBackupDevice(BackupDeviceInfo(true, volumes[i], "/dev/sd" + std::to_string(i), "ext4",
                                                           "rw", 4194304, 2097152, 4096, 32, 512, 512, 512, 0));
  if (!result.IsError()) result = writer.Close();
  if (!result.IsError()) return 0;
  std::printf("error: %s\n", result.AsString().c_str());
  return 1;
}

int Read(const std::string& path) {
  BlockDeviceConfigReaderWriter_UNIX reader;
  CQiError result = reader.InitRead(path);
  while (!result.IsError()) {
    BackupDeviceInfo device;
    result = reader.ReadNextBackupConfig(device);
    if (result.IsError() || !device.IsValid()) break;
    std::printf("%s\n", device.GetSourceVolName().c_str());
  }
  if (!result.IsError()) {
    std::printf("end\n");
    return 0;
  }
  std::printf("error: %s\n", result.AsString().c_str());
  return 1;
}

TarvosJobInfo JobIn(const std::string& jobResultsDir) {
  TarvosJobInfo job;
  job.SetVornCellId(2);
  job.SetAppId(5);
  job.SetJobId(12);
  job.SetJobResultsDir(jobResultsDir);
  return job;
}

std::string VolumeNumber(int i) {
  return "/v" + std::to_string(i);
}

BackupDeviceInfo VolumeRecord(int i, unsigned long generation) {
  const unsigned long long blocks = 4194304ULL + (i == 0 ? 0 : generation * 2048ULL);
  return BackupDeviceInfo(true, VolumeNumber(i), "/dev/sd" + std::to_string(i), "ext4", "rw", blocks, 2097152, 4096, 32,
                          512, 512, 512, 0);
}

// The handler as the agent drives it: opened at the pre-snap step, every
// record cached, all written and closed at the post-snap step.
int Snapshot(const std::string& dir, int count, unsigned long generation) {
  KzDeviceConfigHandler handler(JobIn(dir));
  CQiError result = handler.InitWrite(true, false);
  for (int i = 0; i < count && !result.IsError(); ++i)
    result = handler.WriteDeviceConfig(VolumeNumber(i), VolumeRecord(i, generation), true);
  std::vector<SMVolBlock> none;
  if (!result.IsError()) result = handler.ExecutePrePostSnapTask(none, 0, 2, 0, true);
  if (!result.IsError()) return 0;
  std::printf("error: %s\n", result.AsString().c_str());
  return 1;
}

int Next(const std::string& dir, int count, unsigned long generation) {
  KzDeviceConfigHandler handler(JobIn(dir));
  CQiError result = handler.InitWrite(true, true);
  int trusted = 0;
  for (int i = 0; i < count && !result.IsError(); ++i) {
    result = handler.WriteDeviceConfig(VolumeNumber(i), VolumeRecord(i, generation), true);
    if (!handler.IsVolumeNewOrChangedSinceLastBackup(VolumeNumber(i), "") &&
        !handler.ConvertVolumeToFull(VolumeNumber(i)))
      ++trusted;
  }
  if (result.IsError()) {
    std::printf("error: %s\n", result.AsString().c_str());
    return 1;
  }
  std::printf("trusted %d full %d\n", trusted, count - trusted);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "read") return Read(args[1]);
  if (args.size() >= 2 && args[0] == "write") {
    const bool append = args.size() > 2 && args[2] == "--append";
    return Write(args[1], append, std::vector<std::string>(args.begin() + (append ? 3 : 2), args.end()));
  }
  long count = 0, generation = 0;
  if (args.size() == 4 && (args[0] == "snapshot" || args[0] == "next") &&
      testing_support::ReadCountArgument(args[2].c_str(), 0, 100000, count) &&
      testing_support::ReadCountArgument(args[3].c_str(), 0, 1000000, generation)) {
    const int volumes = static_cast<int>(count);
    const unsigned long number = static_cast<unsigned long>(generation);
    return args[0] == "snapshot" ? Snapshot(args[1], volumes, number) : Next(args[1], volumes, number);
  }
  std::fprintf(stderr,
               "usage: config_file_tool write PATH [--append] VOLUME... | read PATH | snapshot|next DIR "
               "COUNT(0-100000) GENERATION(0-1000000)\n");
  return 2;
}
