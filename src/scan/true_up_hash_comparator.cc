#include "scan/true_up_hash_comparator.h"

#include "platform/log/ev_debug.h"

namespace {
constexpr unsigned kErrorFailed = 774;
constexpr int kEachExtentLevel = 7;
}  // namespace

CTrueUpHashComparator::CTrueUpHashComparator(IExtentHashTable* indexTable, IExtentHashTable* snapTable,
                                             unsigned char* bitmap, unsigned long long bitCount)
    : m_pIndexTable(indexTable), m_pSnapTable(snapTable), m_pBitmap(bitmap), m_nBitCount(bitCount) {}

CQiError CTrueUpHashComparator::Initialize() {
  CQiError err = m_pIndexTable->Initialize(std::ios_base::in);
  if (err.IsError()) return err.Push(FXCODELOC);
  err = m_pSnapTable->Initialize(std::ios_base::in);
  if (err.IsError()) return err.Push(FXCODELOC);
  return CQiError();
}

CQiError CTrueUpHashComparator::Prepare() {
  return CQiError();
}

CQiError CTrueUpHashComparator::SetNthBit(long long n, unsigned char* bitmap, unsigned long long bitCount) {
  if (n < 0 || static_cast<unsigned long long>(n) >= bitCount)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, kErrorFailed, "Extent[%lld] lies outside the bitmap of %llu extents", n,
                                   bitCount);
  bitmap[n / 8] |= static_cast<unsigned char>(1u << (n % 8));
  return CQiError();
}

CQiError CTrueUpHashComparator::Mark(const ExtentHashItem& snapItem, bool indexExhausted) {
  const long long extent = static_cast<long long>(snapItem.GetExtentId());
  CQiError err = SetNthBit(extent, m_pBitmap, m_nBitCount);
  if (err.IsError()) return err.Push(FXCODELOC);
  if (m_bLogEach) {
    EvDebug log;
    if (indexExhausted)
      log.DebugLvl(__FUNCTION__, kEachExtentLevel, "ExtentItem not found in Index, item=%lld", extent);
    else
      log.DebugLvl(__FUNCTION__, kEachExtentLevel, "ExtentItem hash mismatch OR not found in Index, item=%lld", extent);
  }
  ++m_nMismatches;
  return CQiError();
}

CQiError CTrueUpHashComparator::Compare() {
  m_nMismatches = 0;
  m_bLogEach = EvDebug::IsLevelEnabled(kEachExtentLevel);
  ExtentHashItem indexItem, snapItem;
  CQiError err = m_pIndexTable->GetNextExtentEntry(indexItem);
  if (err.IsError()) return err.Push(FXCODELOC);

  for (;;) {
    err = m_pSnapTable->GetNextExtentEntry(snapItem);
    if (err.IsError()) return err.Push(FXCODELOC, "Failed to read the snapshot hash table");
    if (!snapItem.IsValid()) break;

    while (indexItem.IsValid() && indexItem.GetExtentId() < snapItem.GetExtentId()) {
      err = m_pIndexTable->GetNextExtentEntry(indexItem);
      if (err.IsError()) return err.Push(FXCODELOC);
    }

    if (!indexItem.IsValid()) {
      // The index has nothing from here on: every snapshot extent left is
      // missing from it.
      while (snapItem.IsValid()) {
        err = Mark(snapItem, true);
        if (err.IsError()) return err.Push(FXCODELOC);
        err = m_pSnapTable->GetNextExtentEntry(snapItem);
        if (err.IsError()) return err.Push(FXCODELOC, "Failed to read the snapshot hash table");
      }
      break;
    }

    if (indexItem.Matches(snapItem)) {
      if (m_bLogEach) {
        EvDebug log;
        log.DebugLvl(__FUNCTION__, kEachExtentLevel, "ExtentItem hash match, item=%lld, idxHash=%s, SnapHash=%s",
                     static_cast<long long>(snapItem.GetExtentId()), indexItem.GetExtentHash().c_str(),
                     snapItem.GetExtentHash().c_str());
      }
    } else {
      err = Mark(snapItem, false);
      if (err.IsError()) return err.Push(FXCODELOC);
    }
  }

  EvDebug log;
  log.DebugLvl(__FUNCTION__, 0, "Volume Extent mismatch count [%llu]", m_nMismatches);
  return CQiError();
}
