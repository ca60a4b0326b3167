// The backup index's verb: the files jobs stored in it, components' extent
// bitmaps, replies queued for the next browse, the browse request log and
// the subclients' indexing-V2 switch.
#include <climits>
#include <cstdio>
#include <ctime>
#include <optional>

#include "platform/harness/index_harness.h"
#include "platform/harness/services_harness.h"
#include "platform/harness/snap_harness.h"
#include "platform/indexing/index_carry_forward.h"
#include "platform/text/fx_string.h"
#include "verb.h"

namespace blbsim {
namespace {

// At most this many bytes of a bitmap are shown in hexadecimal.
constexpr size_t kShownBitmapBytes = 32;

int StoredFiles(const Args& args) {
  if (args.size() == 1 && args[0] == "list") {
    for (const platform::IndexFileRecord& file : IndexFiles())
      std::printf("%s %llu/%llu job=%llu %s stored=%llu\n", file.host.c_str(),
                  static_cast<unsigned long long>(file.cellId), static_cast<unsigned long long>(file.appId),
                  static_cast<unsigned long long>(file.jobId), file.name.c_str(),
                  static_cast<unsigned long long>(file.storedTime));
    return 0;
  }
  if (args.size() < 6 || args.size() > 8 || args[0] != "add" || !NumbersFrom(args, 2, 4) || !NumbersFrom(args, 7, 7))
    return UsageError("index");
  const std::string name = args.size() > 6 ? args[6] : std::string(FXPath::GetFileName(args[5]));
  const unsigned long long stored =
      args.size() > 7 ? Number(args[7]) : static_cast<unsigned long long>(std::time(nullptr));
  if (!AddIndexFileFrom(args[1], Number(args[2]), Number(args[3]), Number(args[4]), name, stored, args[5])) {
    std::fprintf(stderr, "blbsim: cannot store %s in the index\n", args[5].c_str());
    return 1;
  }
  return 0;
}

// bitmap set CELL APP COMPONENT FILE | bitmap list
int Bitmaps(const Args& args) {
  if (args.size() == 2 && args[1] == "list") {
    for (const platform::IndexExtentBitmapRecord& record : IndexExtentBitmaps()) {
      std::printf("%llu/%llu %s bytes=%zu ", static_cast<unsigned long long>(record.cellId),
                  static_cast<unsigned long long>(record.appId), record.component.c_str(), record.bitmap.size());
      for (size_t i = 0; i < record.bitmap.size() && i < kShownBitmapBytes; ++i)
        std::printf("%02x", static_cast<unsigned char>(record.bitmap[i]));
      std::printf("%s\n", record.bitmap.size() > kShownBitmapBytes ? "..." : "");
    }
    return 0;
  }
  if (args.size() != 6 || args[1] != "set" || !NumbersFrom(args, 2, 3) || args[4].empty()) return UsageError("index");
  if (!SetIndexExtentBitmapFrom(Number(args[2]), Number(args[3]), args[4], args[5])) {
    std::fprintf(stderr, "blbsim: cannot store the bitmap of %s from %s\n", args[4].c_str(), args[5].c_str());
    return 1;
  }
  return 0;
}

// extents set CELL APP VOLUME FILE (FILE "-": the standard input) |
// extents show CELL APP VOLUME
int ExtentView(const Args& args) {
  if (args.size() < 5 || !NumbersFrom(args, 2, 3) || args[4].empty()) return UsageError("index");
  const platform::IndexExtentViewKey key{Number(args[2]), Number(args[3]), args[4]};
  if (args.size() == 5 && args[1] == "show") {
    std::fputs(IndexExtentViewText(key).c_str(), stdout);
    return 0;
  }
  if (args.size() != 6 || args[1] != "set") return UsageError("index");
  std::string why;
  const bool stored =
      args[5] == "-" ? SetIndexExtentViewFrom(key, "/dev/stdin", &why) : SetIndexExtentViewFrom(key, args[5], &why);
  if (!stored) {
    std::fprintf(stderr, "blbsim: extent view refused: %s\n", why.c_str());
    return 1;
  }
  return 0;
}

// reply FILE [type=N] [path=TEXT]
int Reply(const Args& args) {
  if (args.size() < 2 || args.size() > 4) return UsageError("index");
  std::optional<int64_t> type;
  std::string pathPart;
  for (size_t i = 2; i < args.size(); ++i) {
    int value = 0;
    if (args[i].compare(0, 5, "type=") == 0 && ReadInt(args[i].substr(5), value))
      type = value;
    else if (args[i].compare(0, 5, "path=") == 0 && args[i].size() > 5)
      pathPart = args[i].substr(5);
    else
      return UsageError("index");
  }
  std::string why;
  if (!QueueIndexReplyFrom(args[1], type, pathPart, &why)) {
    std::fprintf(stderr, "blbsim: reply refused: %s\n", why.c_str());
    return 1;
  }
  return 0;
}

// requests [clear]
int Requests(const Args& args) {
  if (args.size() == 2 && args[1] == "clear") return ClearIndexRequests() ? 0 : 1;
  if (args.size() != 1) return UsageError("index");
  for (const platform::IndexRequestRecord& request : IndexRequests())
    std::printf("%llu %s rc=%d responses=%llu items=%llu pid=%lld %s\n", static_cast<unsigned long long>(request.seq),
                request.call.c_str(), request.result, static_cast<unsigned long long>(request.responses),
                static_cast<unsigned long long>(request.items), request.pid, request.request.c_str());
  return 0;
}

// v2 CELL APP on|off
int IndexingV2(const Args& args) {
  if (args.size() != 4 || !NumbersFrom(args, 1, 2) || (args[3] != "on" && args[3] != "off")) return UsageError("index");
  if (!SetIndexingV2(Number(args[1]), Number(args[2]), args[3] == "on")) {
    std::fprintf(stderr, "blbsim: no subclient %s/%s\n", args[1].c_str(), args[2].c_str());
    return 1;
  }
  return 0;
}

int Connections(const Args& args) {
  if (args.size() != 1) return UsageError("index");
  for (const platform::IndexConnectionRecord& connection : IndexConnectionRecords())
    std::printf("connection=%lld job=%llu initialize(%s) done=%d\n", connection.id,
                static_cast<unsigned long long>(connection.jobId), connection.arguments.c_str(),
                connection.done ? 1 : 0);
  return 0;
}

// items JOB
int Items(const Args& args) {
  if (args.size() != 2 || !NumbersFrom(args, 1, 1)) return UsageError("index");
  for (const std::string& line : IndexItems(Number(args[1]))) std::printf("%s\n", line.c_str());
  return 0;
}

// carryfwd JOB
int CarryForwards(const Args& args) {
  if (args.size() != 2 || !NumbersFrom(args, 1, 1)) return UsageError("index");
  for (const platform::IndexCarryForwardRecord& r : IndexCarryForwards(Number(args[1])))
    std::printf(
        "job=%llu source=%llu view=%s component=%s path=%s afile=%lld group=%lld flags=%lld value=%lld "
        "from=%llu to=%llu timeout=%llu\n",
        static_cast<unsigned long long>(r.jobId), static_cast<unsigned long long>(r.sourceJobId), r.view.c_str(),
        r.component.c_str(), r.path.c_str(), static_cast<long long>(r.afileId), static_cast<long long>(r.groupId),
        static_cast<long long>(r.flags), static_cast<long long>(r.value), static_cast<unsigned long long>(r.fromTime),
        static_cast<unsigned long long>(r.toTime), static_cast<unsigned long long>(r.timeout));
  return 0;
}

int Index(const Args& args) {
  if (args.empty()) return UsageError("index");
  if (args[0] == "connections") return Connections(args);
  if (args[0] == "items") return Items(args);
  if (args[0] == "carryfwd") return CarryForwards(args);
  if (args[0] == "bitmap") return Bitmaps(args);
  if (args[0] == "reply") return Reply(args);
  if (args[0] == "extents") return ExtentView(args);
  if (args[0] == "requests") return Requests(args);
  if (args[0] == "v2") return IndexingV2(args);
  return StoredFiles(args);
}

const VerbRegistration kIndexVerbs({
    {"index",
     "add HOST CELL APP JOB FILE [NAME [TIME]] | list | bitmap set CELL APP COMPONENT FILE | bitmap list | "
     "extents set CELL APP VOLUME FILE|- | extents show CELL APP VOLUME | reply FILE [type=N] [path=TEXT] | requests "
     "[clear] | v2 CELL APP on|off | connections | items JOB | carryfwd JOB",
     "the backup index: stored files, extent bitmaps, volumes' extent views (lines \"ID HASH\"), replies for the next "
     "browse, browse requests, indexing V2, the jobs' indexing connections, the items published over them and the "
     "carry-forwards asked for",
     Index},
});

}  // namespace
}  // namespace blbsim
