// Strategy selection as a fresh process sees it: the KZBF driver probe runs
// once per process, so only a new process shows its first run.
//
//   strategy_probe_tool DEVICE THREADS(1-1024) PROBES(1-1000000)
//
// THREADS threads start together and each asks for DEVICE's strategy PROBES
// times; prints the types asked in thread order, then what the factories give.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/count_argument.h"
#include "tracking/volume_bitmap_helper.h"

int main(int argc, char** argv) {
  long threads = 0, probes = 0;
  if (argc != 4 || !testing_support::ReadCountArgument(argv[2], 1, 1024, threads) ||
      !testing_support::ReadCountArgument(argv[3], 1, 1000000, probes)) {
    std::fprintf(stderr, "usage: strategy_probe_tool DEVICE THREADS(1-1024) PROBES(1-1000000)\n");
    return 2;
  }
  const std::string device = argv[1];
  std::atomic<bool> go(false);
  std::vector<std::string> types(static_cast<size_t>(threads));
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t)
    running.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int p = 0; p < probes; ++p)
        types[t] += " " + std::to_string(VolumeBitMapHelper::GetDeviceHandlerType(device));
    });
  go = true;
  for (std::thread& thread : running) thread.join();

  std::string line;
  for (const std::string& asked : types) line += asked;
  VolumeBitMapHelper::eDeviceType_t type = VolumeBitMapHelper::eDeviceType_NONE;
  const bool instance = static_cast<bool>(VolumeBitMapHelper::GetVolumeHandlerInstance(device, type));
  std::unique_ptr<VolumeBitMapHelper> own(VolumeBitMapHelper::GetVolumeHandler(device, type));
  std::printf("%s\ninstance=%s handler=%s\n", line.substr(1).c_str(), instance ? "set" : "empty", own ? "set" : "null");
  return 0;
}
