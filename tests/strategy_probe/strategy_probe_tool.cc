// Strategy selection as a fresh process sees it: the KZBF driver probe runs
// once per process, so only a new process shows its first run.
//
//   strategy_probe_tool DEVICE THREADS PROBES
//
// THREADS threads start together and each asks for DEVICE's strategy PROBES
// times; prints the types asked in thread order, then what the factories give.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tracking/volume_bitmap_helper.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: strategy_probe_tool DEVICE THREADS PROBES\n");
    return 2;
  }
  const std::string device = argv[1];
  const int threads = std::atoi(argv[2]);
  const int probes = std::atoi(argv[3]);
  if (threads < 1 || probes < 1) return 2;

  std::mutex mutex;
  std::condition_variable ready;
  bool go = false;
  std::vector<std::vector<int>> types(threads);
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t) {
    running.emplace_back([&, t] {
      {
        std::unique_lock<std::mutex> lock(mutex);
        ready.wait(lock, [&] { return go; });
      }
      for (int p = 0; p < probes; ++p) types[t].push_back(VolumeBitMapHelper::GetDeviceHandlerType(device));
    });
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    go = true;
  }
  ready.notify_all();
  for (std::thread& thread : running) thread.join();

  std::string line;
  for (const std::vector<int>& asked : types)
    for (int type : asked) line += (line.empty() ? "" : " ") + std::to_string(type);
  VolumeBitMapHelper::eDeviceType_t type = VolumeBitMapHelper::eDeviceType_NONE;
  const bool instance = static_cast<bool>(VolumeBitMapHelper::GetVolumeHandlerInstance(device, type));
  std::unique_ptr<VolumeBitMapHelper> own(VolumeBitMapHelper::GetVolumeHandler(device, type));
  std::printf("%s\ninstance=%s handler=%s\n", line.c_str(), instance ? "set" : "empty", own ? "set" : "null");
  return 0;
}
