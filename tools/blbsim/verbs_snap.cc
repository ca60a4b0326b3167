// The snapshot service's verb: volume-snap records in their text form, the
// snap engines and the log of the service's calls.
#include <climits>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

#include "platform/harness/harness_reads.h"
#include "platform/harness/snap_harness.h"
#include "verb.h"

namespace blbsim {
namespace {

// snap add FILE|-: the record's text form from a file or the standard input.
int AddRecord(const std::string& source) {
  std::string text;
  if (source == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream file(source);
    if (!file) {
      std::fprintf(stderr, "blbsim: cannot read %s\n", source.c_str());
      return 1;
    }
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  std::string why;
  if (!AddSnapRecord(text, why)) {
    std::fprintf(stderr, "blbsim: not a volume snap record: %s\n", why.c_str());
    return 2;
  }
  return 0;
}

int ShowRecord(const Args& args) {
  unsigned long long jobId = 0, cellId = 0;
  if (!ReadNumber(args[1], ULLONG_MAX, jobId) || (args.size() == 3 && !ReadNumber(args[2], UINT32_MAX, cellId)))
    return UsageError("snap");
  std::optional<SMVolSnapInfo> record =
      FindSnapRecord(jobId, args.size() == 3 ? std::optional<uint32_t>(static_cast<uint32_t>(cellId)) : std::nullopt);
  if (!record) {
    std::fprintf(stderr, "blbsim: no volume snap record of job %llu\n", jobId);
    return 1;
  }
  std::printf("%s", record->ToText().c_str());
  return 0;
}

int Snap(const Args& args) {
  if (args.size() == 2 && args[0] == "add") return AddRecord(args[1]);
  if ((args.size() == 2 || args.size() == 3) && args[0] == "show") return ShowRecord(args);
  if (args.size() == 1 && args[0] == "calls") {
    for (const platform::SnapServiceCall& call : SnapCalls())
      std::printf("call=%s(%s) result=%d\n", call.call.c_str(), call.request.c_str(), call.result);
    return 0;
  }
  if (args.size() == 1 && args[0] == "engines") {
    for (const SMEngineInfo& engine : ReadOrThrow<std::vector<SMEngineInfo>>(
             [](std::vector<SMEngineInfo>& all) { return platform::SnapshotLibrary::Current().Engines(all); }))
      std::printf("engine=%d name=%s\n", engine.engineId, engine.name.c_str());
    return 0;
  }
  return UsageError("snap");
}

const VerbRegistration kSnapVerbs({
    {"snap", "add FILE|- | show JOB [CELL] | calls | engines",
     "the snapshot service: volume snap records (text form: \"job= snapjob= cell= engine= copy= synthfull=\", then "
     "volume, snap, map and metadata lines), its engines and its call log",
     Snap},
});

}  // namespace
}  // namespace blbsim
