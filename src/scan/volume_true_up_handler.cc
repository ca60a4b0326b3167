#include "scan/volume_true_up_handler.h"

#include <cstdlib>
#include <cstring>

#include "platform/fs/qi_directory.h"
#include "platform/guid/guid_factory.h"
#include "platform/hashing/extent_hash_table.h"
#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"
#include "records/file_replacement.h"
#include "scan/index_info_true_up.h"
#include "scan/true_up_hash_comparator.h"
#include "tracking/bitmap_words.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

constexpr unsigned kErrorNoMemory = 14;
constexpr int kEachEntryLevel = 5;

using Bitmaps = TrueUpVolInfo::VolumeBitmaps;

}  // namespace

std::atomic<int> CVolumeTrueUpHandler::s_iNextCollectFileNumber{1};

void CVolumeTrueUpHandler::FreeDeleter::operator()(unsigned char* bytes) const {
  std::free(bytes);
}

CVolumeTrueUpHandler::CVolumeTrueUpHandler(TrueUpVolInfo& volume, const std::string& trueUpFolder,
                                           unsigned int splittingFactor)
    : m_sTrueUpFolder(trueUpFolder), m_nSplittingFactor(splittingFactor), m_oVolume(volume) {}

CVolumeTrueUpHandler::~CVolumeTrueUpHandler() {
  std::free(m_pNegateBmp);
}

CQiError CVolumeTrueUpHandler::Initialize() {
  m_sVolumeFolder = FXPath::Append(m_sTrueUpFolder, CGuidFactory::get_guid_nosalt(m_oVolume.GetVolume()));
  if (!FXPath::DoesPathExist(m_sVolumeFolder)) {
    CQiError err = CQiDirectory::Create(m_sVolumeFolder.c_str(), true);
    if (err.IsError()) return err.Push(FXCODELOC);
  }
  m_sSnapHashFile = FXPath::Append(m_sVolumeFolder, "VolSnapHash.kzf");
  m_sIdxHashFile = FXPath::Append(m_sVolumeFolder, CIndexInfoTrueUp::kIndexHashFile);
  return CQiError();
}

CQiError CVolumeTrueUpHandler::GenerateNegateBmp() {
  const unsigned long long bytes = m_oVolume.GetDriverBmpSize();
  std::free(m_pNegateBmp);
  m_pNegateBmp = Bitmaps::Allocate(bytes);
  if (m_pNegateBmp == nullptr)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorNoMemory,
                                   "Out of memory while allocating space for TrueUpBmp for volume[%s]",
                                   GetVolume().c_str());
  const unsigned char* change = m_oVolume.GetDriverBmp();
  const unsigned char* data = m_bDataBmpDisabled ? nullptr : m_oVolume.GetDataBlockBmp();
  for (unsigned long long i = 0; i < bytes; ++i) {
    const unsigned char unchanged = static_cast<unsigned char>(~(change != nullptr ? change[i] : 0));
    m_pNegateBmp[i] = data != nullptr ? static_cast<unsigned char>(unchanged & data[i]) : unchanged;
  }
  // Inverting the change bitmap sets the bits of extents at or past the
  // volume's last one, and a reader asked for them would read past the
  // device's end. An unknown extent count leaves the bitmap as it is.
  const unsigned long long extents = m_oVolume.GetBlkDevInfo().GetTotalExtents();
  if (extents != 0) bitmap_words::ClearFrom(m_pNegateBmp, bytes, extents);
  return CQiError();
}

CQiError CVolumeTrueUpHandler::SplitNegateBmp() {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 3, "Splitting negate bitmap for volume=%s", GetVolume().c_str());
  const unsigned long long bytes = m_oVolume.GetDriverBmpSize();
  const unsigned int factor = m_nSplittingFactor > 0 ? m_nSplittingFactor : 1;
  const unsigned int pieceSize = static_cast<unsigned int>(bytes / factor);
  const unsigned int remainder = static_cast<unsigned int>(bytes % factor);
  log.DebugLvl(__FUNCTION__, 3, "SplittingFactor[%u] NegBmpSize[%lu] SubBmpSize[%u] Modulo[%u]", factor,
               static_cast<unsigned long>(bytes), pieceSize, remainder);

  std::vector<CollectInfo> units;
  unsigned long long offset = 0;
  for (unsigned int piece = 1; piece <= factor; ++piece) {
    const unsigned int size = piece < factor ? pieceSize : pieceSize + remainder;
    std::unique_ptr<unsigned char, FreeDeleter> bytesOfPiece(Bitmaps::Allocate(size));
    if (!bytesOfPiece)
      return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorNoMemory,
                                     "Failed while allocating memory for sub negate bitmaps");
    if (size > 0) std::memcpy(bytesOfPiece.get(), m_pNegateBmp + offset, size);
    const unsigned long long firstExtent = offset * 8;
    const int number = s_iNextCollectFileNumber++;
    log.DebugLvl(__FUNCTION__, 3, "CollectInfo: Volume[%s] Folder[%s] Id[%d] SubBmpSize[%u] StartExtOffset[%llu]",
                 GetVolume().c_str(), m_sTrueUpFolder.c_str(), number, size, firstExtent);
    units.emplace_back(GetVolume(), m_sTrueUpFolder, number, bytesOfPiece.get(), size, firstExtent);
    m_vPieces.push_back(std::move(bytesOfPiece));
    offset += size;
  }
  m_mVolumeToCollects[GetVolume()] = units;
  return CQiError();
}

CQiError CVolumeTrueUpHandler::MergeNegateHashCFs() {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 3, "Merging negate CFs for volume[%s] into file[%s]", GetVolume().c_str(),
               m_sSnapHashFile.c_str());
  CExtentHashTable_File snapTable(m_sSnapHashFile);
  CQiError err = snapTable.Initialize(std::ios_base::out | std::ios_base::trunc);
  if (err.IsError())
    return err.Push(FXCODELOC, "Failed to open %s to write VolSnap collect file info", m_sSnapHashFile.c_str());
  const bool logEach = EvDebug::IsLevelEnabled(kEachEntryLevel);
  ExtentHashItem item;
  for (const CollectInfo& unit : m_mVolumeToCollects[GetVolume()]) {
    log.DebugLvl(__FUNCTION__, 3, "Will be merging Split negate CF[%s] into file[%s]", unit.GetCollect().c_str(),
                 m_sSnapHashFile.c_str());
    CExtentHashTable_File collect(unit.GetCollect());
    err = collect.Initialize(std::ios_base::in);
    if (err.IsError())
      return err.Push(FXCODELOC, "Failed to open %s to read split negate entries", unit.GetCollect().c_str());
    for (;;) {
      err = collect.GetNextExtentEntry(item);
      if (err.IsError()) return err.Push(FXCODELOC, "Failed to get extent entry, file=%s", unit.GetCollect().c_str());
      if (!item.IsValid()) break;
      if (logEach)
        log.DebugLvl(__FUNCTION__, kEachEntryLevel, "Writing [%llu] to VolSnap CF[%s]", item.GetExtentId(),
                     m_sSnapHashFile.c_str());
      err = snapTable.AddExtentEntry(item);
      if (err.IsError())
        return err.Push(FXCODELOC, "Failed to write extent entry, file=%s, ext=%llu", unit.GetCollect().c_str(),
                        item.GetExtentId());
    }
  }
  // The comparison reads the file next: every entry must be in it.
  err = snapTable.Close();
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to write %s", m_sSnapHashFile.c_str());
  return CQiError();
}

CQiError CVolumeTrueUpHandler::CompareHash() {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 0, "Will now be comparing Snap hash v/s Index hash for Volume=%s", GetVolume().c_str());
  std::unique_ptr<CExtentHashTable_File> indexTable(new (std::nothrow) CExtentHashTable_File(m_sIdxHashFile));
  std::unique_ptr<CExtentHashTable_File> snapTable(new (std::nothrow) CExtentHashTable_File(m_sSnapHashFile));
  if (!indexTable || !snapTable || m_pNegateBmp == nullptr)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorNoMemory,
                                   "Out of memory while comparing extent hashes for volume[%s]", GetVolume().c_str());
  const unsigned long long bytes = m_oVolume.GetDriverBmpSize();
  std::memset(m_pNegateBmp, 0, bytes);
  CTrueUpHashComparator comparator(indexTable.get(), snapTable.get(), m_pNegateBmp, bytes * 8);
  CQiError err = comparator.Initialize();
  if (err.IsError()) return err.Push(FXCODELOC);
  err = comparator.Prepare();
  if (err.IsError()) return err.Push(FXCODELOC);
  err = comparator.Compare();
  if (err.IsError())
    return err.Push(FXCODELOC, "Compare of hashes for volume[%s] failed, error[%s]", GetVolume().c_str(),
                    err.AsString().c_str());
  return CQiError();
}

std::string CVolumeTrueUpHandler::GetTrueUpBmpFilePath() const {
  return m_sVolumeFolder + "/TrueUp.bmp";
}

CQiError CVolumeTrueUpHandler::SaveTrueUpBmpToDisk() {
  const unsigned long bytes = static_cast<unsigned long>(m_oVolume.GetDriverBmpSize());
  CQiError err = VolumeBitMapHelper::WriteBitMapToFile(GetTrueUpBmpFilePath(), m_pNegateBmp, bytes);
  if (err.IsError())
    return err.Push(FXCODELOC, "Failed to save TrueUp Bitmap to disk for volume[%s], error=[%s]", GetVolume().c_str(),
                    err.AsString().c_str());
  if (GetDriverBmp() != nullptr) {
    err = VolumeBitMapHelper::WriteBitMapToFile(m_sVolumeFolder + "/Driver.bmp", GetDriverBmp(), bytes);
    if (err.IsError())
      return err.Push(FXCODELOC, "Failed to save Driver Bitmap to disk for volume[%s], error=[%s]", GetVolume().c_str(),
                      err.AsString().c_str());
  }
  if (GetDataBlockBmp() != nullptr) {
    err = VolumeBitMapHelper::WriteBitMapToFile(m_sVolumeFolder + "/DataBlock.bmp", GetDataBlockBmp(), bytes);
    if (err.IsError())
      return err.Push(FXCODELOC, "Failed to save DataBlock Bitmap to disk for volume[%s], error=[%s]",
                      GetVolume().c_str(), err.AsString().c_str());
  }
  // One sync of the volume folder for the names of the index hash file and
  // the bitmaps, whose contents their writers synced. (The snapshot hash file
  // is nobody's later read: each run writes it anew before it compares.)
  err = records::SyncFolder(m_sVolumeFolder);
  if (err.IsError()) return err.Push(FXCODELOC);
  m_oVolume.SetTrueUpBmp(m_pNegateBmp);
  m_pNegateBmp = nullptr;
  return CQiError();
}
