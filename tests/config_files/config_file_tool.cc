// A job's use of its device-configuration files, as a process of its own, so
// that a test can kill it at a system call or fail one of its reads.
//
//   config_file_tool write PATH [--append] VOLUME...   one record per volume
//   config_file_tool read PATH                         the volumes, then "end"
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "records/block_device_config.h"

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

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "read") return Read(args[1]);
  if (args.size() >= 2 && args[0] == "write") {
    const bool append = args.size() > 2 && args[2] == "--append";
    return Write(args[1], append, std::vector<std::string>(args.begin() + (append ? 3 : 2), args.end()));
  }
  std::fprintf(stderr, "usage: config_file_tool write PATH [--append] VOLUME... | read PATH\n");
  return 2;
}
