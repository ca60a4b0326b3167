// The archive streams of jobs: the default buffer size, a stream's records
// and one item's data.
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/harness/archive_harness.h"
#include "verb.h"

namespace blbsim {
namespace {

int Archive(const Args& args) {
  unsigned long long number = 0;
  if (args.size() == 2 && args[0] == "buffer-size") {
    if (!ReadNumber(args[1], UINT32_MAX, number)) return UsageError("archive");
    if (!SetArchiveBufferSize(static_cast<uint32_t>(number))) {
      std::fprintf(stderr, "blbsim: cannot store the buffer size: %s\n", std::strerror(errno));
      return 1;
    }
    return 0;
  }
  if (args.size() < 2 || !ReadNumber(args[1], ULLONG_MAX, number)) return UsageError("archive");
  std::string why;
  if (args.size() == 2 && args[0] == "stream") {
    std::vector<std::string> lines;
    if (!DescribeArchiveStream(number, lines, why)) {
      std::fprintf(stderr, "blbsim: %s\n", why.c_str());
      return 1;
    }
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    return 0;
  }
  if (args.size() == 3 && args[0] == "extract") {
    std::string data;
    if (!ExtractArchiveItemData(number, args[2], data, why)) {
      std::fprintf(stderr, "blbsim: %s\n", why.c_str());
      return 1;
    }
    std::fwrite(data.data(), 1, data.size(), stdout);
    return 0;
  }
  return UsageError("archive");
}

const VerbRegistration kArchiveVerbs({
    {"archive", "stream JOB | extract JOB NAME | buffer-size N",
     "jobs' archive streams: one line per record (type, length; a header's name, mode and size; an index-metadata "
     "entry's tag and value), the data of the item NAME on stdout, the archive's default buffer size (0: 64 KiB)",
     Archive},
});

}  // namespace
}  // namespace blbsim
