#include "scan/index_hash_cut.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/hashing/extent_hash_item.h"
#include "platform/hashing/file_lines.h"
#include "platform/memory/auto_handle.h"

namespace scan {
namespace {

constexpr size_t kEntryLength = ExtentHashItem::kNameWidth + 1 + ExtentHashItem::kHashLength;

}  // namespace

CQiError CutIndexHashFileAtFirstDamage(const std::string& path, IndexHashCut& cut) {
  cut = IndexHashCut();
  auto_handle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    if (errno == ENOENT) return CQiError();
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open [%s]", path.c_str());
  }
  struct stat info;
  if (::fstat(file.get(), &info) != 0)
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to stat [%s]", path.c_str());
  platform::FileLines lines(kEntryLength);
  ExtentHashItem entry;
  uint64_t kept = 0;
  for (;;) {
    platform::FileLines::Kind kind = platform::FileLines::Kind::kEnd;
    const char* text = nullptr;
    size_t length = 0;
    CQiError err = lines.Next(file.get(), path, kind, text, length);
    if (err.IsError()) return err.Push(FXCODELOC);
    if (kind != platform::FileLines::Kind::kLine || entry.Initialize(text, length).IsError()) break;
    kept += length + 1;
    cut.keptAny = true;
    cut.lastKept = entry.GetExtentId();
  }
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  if (kept >= size) return CQiError();
  if (::truncate(path.c_str(), static_cast<off_t>(kept)) != 0)
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to cut [%s] back to %llu bytes", path.c_str(),
                                       static_cast<unsigned long long>(kept));
  cut.bytes = size - kept;
  return CQiError();
}

}  // namespace scan
