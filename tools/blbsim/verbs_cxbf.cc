// Verbs of the simulated CXBF filter driver.
#include <climits>
#include <cstdio>

#include "platform/harness/cxbf_harness.h"
#include "verb.h"

namespace blbsim {
namespace {

// The numbers of args[first..], each at most limit; false at the first that is not one.
template <class T>
bool ReadNumbers(const Args& args, size_t first, unsigned long long limit, std::vector<T>& numbers) {
  for (size_t i = first; i < args.size(); ++i) {
    unsigned long long value = 0;
    if (!ReadNumber(args[i], limit, value)) return false;
    numbers.push_back(static_cast<T>(value));
  }
  return true;
}

int Cxbf(const Args& args) {
  if (args.empty()) return UsageError("cxbf");
  const std::string& what = args[0];
  if (args.size() == 1 && (what == "load" || what == "unload")) return SetCxbfLoaded(what == "load") ? 0 : 1;
  if ((args.size() == 3 || args.size() == 4) && what == "add") {
    unsigned long long extent = 4ULL << 20;
    if (args.size() == 4 && !ReadNumber(args[3], INT_MAX, extent)) return UsageError("cxbf");
    return Report(CxbfAddDevice(args[1], args[2], static_cast<int>(extent)));
  }
  if (args.size() >= 3 && what == "snap") {
    std::vector<uint32_t> sminors;
    if (!ReadNumbers(args, 2, UINT_MAX, sminors)) return UsageError("cxbf");
    return Report(CxbfAddSnapshots(args[1], sminors));
  }
  if (args.size() >= 3 && what == "mark") {
    std::vector<uint64_t> extents;
    if (!ReadNumbers(args, 2, ULLONG_MAX, extents)) return UsageError("cxbf");
    return Report(CxbfMarkExtents(args[1], extents));
  }
  if (args.size() == 2 && what == "fsblock") {
    std::vector<uint64_t> size;
    if (!ReadNumbers(args, 1, ULLONG_MAX, size)) return UsageError("cxbf");
    return SetCxbfFsBlockSize(size[0]) ? 0 : 1;
  }
  if (args.size() == 1 && what == "list") {
    std::vector<platform::CxbfDevice> devices;
    if (int failed = Report(CxbfDevices(devices))) return failed;
    for (const platform::CxbfDevice& device : devices) {
      std::printf("%u %s %s %s extent=%d", device.bminor, device.name.c_str(), device.path.c_str(),
                  device.real.c_str(), device.extentSize);
      for (const platform::CxbfSnapshot& snapshot : device.snapshots)
        std::printf(" snap=%u%s", snapshot.sminor, snapshot.stopped ? ":stopped" : "");
      std::printf("\n");
    }
    return 0;
  }
  if (args.size() == 1 && what == "log") {
    for (const std::string& line : CxbfIoctlLog()) std::printf("%s\n", line.c_str());
    return 0;
  }
  return UsageError("cxbf");
}

const VerbRegistration kCxbfVerbs({
    {"cxbf",
     "load|unload | add PATH REALDEV [EXTENTBYTES] | snap PATH SMINOR... | mark PATH EXTENT... | fsblock BYTES | "
     "list | log",
     "the simulated CXBF filter driver: pseudo-devices, snapshots, changed extents, control-device requests", Cxbf},
});

}  // namespace
}  // namespace blbsim
