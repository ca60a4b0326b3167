// Bit operations on changed-extent bitmaps. The per-bit log lines cost a
// word scan of their own, so they run only when their level is written.
#include <unistd.h>

#include <cerrno>

#include "platform/log/ev_debug.h"
#include "tracking/bitmap_words.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

const char kInspectMarker[] = "/tmp/inspect_bitmap";

}  // namespace

CQiError VolumeBitMapHelper::MergeBitMaps(unsigned char* destination, const unsigned char* source,
                                          const unsigned long& size) {
  if (destination == nullptr || source == nullptr)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "NULL bitmap passed");
  if (EvDebug::IsLevelEnabled(7)) {
    EvDebug log;
    const char* const function = __FUNCTION__;
    bitmap_words::ForEachSetBit(
        destination, source, size, [](uint64_t dst, uint64_t src) { return src & ~dst; },
        [&log, function](uint64_t bit) {
          log.DebugLvl(function, 7, " -BlockLevel- Setting bit [%lu]", static_cast<unsigned long>(bit));
        });
  }
  bitmap_words::Or(destination, source, size);
  return CQiError();
}

CQiError VolumeBitMapHelper::MergeDataBitMaps(unsigned char* bitmap, const unsigned char* dataBlocks,
                                              const unsigned long& size) {
  if (bitmap == nullptr || dataBlocks == nullptr)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "NULL bitmap passed");
  if (EvDebug::IsLevelEnabled(7)) {
    EvDebug log;
    const char* const function = __FUNCTION__;
    bitmap_words::ForEachSetBit(
        bitmap, dataBlocks, size, [](uint64_t bits, uint64_t data) { return bits & ~data; },
        [&log, function](uint64_t bit) {
          log.DebugLvl(function, 7, " -BlockLevel- Clearing bit [%lu]", static_cast<unsigned long>(bit));
        });
  }
  bitmap_words::And(bitmap, dataBlocks, size);
  return CQiError();
}

CQiError VolumeBitMapHelper::SetBitMapForFULL(unsigned char* bitmap, const unsigned long& size) {
  if (bitmap == nullptr) return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "NULL bitmap passed");
  bitmap_words::Fill(bitmap, size, 0xFF);
  return CQiError();
}

CQiError VolumeBitMapHelper::InspectBitMap(const unsigned char* bitmap, const unsigned long& size) {
  if (bitmap == nullptr) return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "NULL bitmap passed");
  if (!EvDebug::IsLevelEnabled(0)) return CQiError();
  EvDebug log;
  const char* const function = __FUNCTION__;
  bitmap_words::ForEachSetBit(bitmap, size, [&log, function](uint64_t bit) {
    log.DebugLvl(function, 0, " -BlockLevel- Set Extent%lu", static_cast<unsigned long>(bit));
  });
  return CQiError();
}

bool VolumeBitMapHelper::IsInspectRequested() {
  return ::access(kInspectMarker, F_OK) == 0;
}
