#pragma once
// CVolumeTrueUpHandler: the true-up of one volume. Before the threads run it
// makes the volume's negate bitmap (the extents to check again: not in the
// change bitmap and, unless switched off, used by the file system), cuts it
// into one piece per reader and describes each piece as a collect unit.
// After the threads it joins the units' collect files into the volume's
// snapshot hash file, compares that with the index hash file, saves the
// bitmaps to the volume's folder and hands the true-up bitmap to the
// volume's shared bitmaps.
//
// Files: the volume folder "<true-up folder>/<guid of the volume>" holds
// "VolIdxHash.kzf" (the index thread's), "VolSnapHash.kzf" (written anew
// here) and "TrueUp.bmp", "Driver.bmp", "DataBlock.bmp" (raw bitmaps of the
// volume's bitmap byte size). Collect files "CollectT_<n>.kzf" sit in the
// true-up folder; n counts over the whole process (a job reruns in a new
// process and resumes from what its files hold). The volume folder is
// synced once after the bitmaps (which are synced), so a power loss after the
// save takes none of them back; the snapshot hash file needs no sync, as
// each run writes it anew before it reads it.
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/error/qi_error.h"
#include "scan/true_up_vol_info.h"
#include "scan/true_up_work_units.h"

class CVolumeTrueUpHandler {
 public:
  static std::atomic<int> s_iNextCollectFileNumber;

  CVolumeTrueUpHandler(TrueUpVolInfo& volume, const std::string& trueUpFolder, unsigned int splittingFactor);
  ~CVolumeTrueUpHandler();
  CVolumeTrueUpHandler(const CVolumeTrueUpHandler&) = delete;
  CVolumeTrueUpHandler& operator=(const CVolumeTrueUpHandler&) = delete;

  CQiError Initialize();
  void SetTrueUpDataBmpDisabled(bool disabled) { m_bDataBmpDisabled = disabled; }

  CQiError GenerateNegateBmp();
  CQiError SplitNegateBmp();
  CQiError MergeNegateHashCFs();
  CQiError CompareHash();
  CQiError SaveTrueUpBmpToDisk();

  std::string GetTrueUpBmpFilePath() const;
  const std::string& GetVolume() const { return m_oVolume.GetVolume(); }
  unsigned char* GetDriverBmp() const { return m_oVolume.GetDriverBmp(); }
  unsigned char* GetDataBlockBmp() const { return m_oVolume.GetDataBlockBmp(); }
  unsigned long long GetDriverBmpSize() const { return m_oVolume.GetDriverBmpSize(); }
  const std::string& GetVolTrueUpFolder() const { return m_sVolumeFolder; }
  const std::map<std::string, std::vector<CollectInfo>>& GetVolumeToCollectsMapping() const {
    return m_mVolumeToCollects;
  }
  // The negate bitmap, then the true-up bitmap; null once handed over.
  const unsigned char* GetNegateBmp() const { return m_pNegateBmp; }

 private:
  struct FreeDeleter {
    void operator()(unsigned char* bytes) const;
  };

  std::string m_sTrueUpFolder;
  std::string m_sVolumeFolder;
  std::string m_sIdxHashFile;
  std::string m_sSnapHashFile;
  unsigned char* m_pNegateBmp = nullptr;  // owned until SetTrueUpBmp takes it
  unsigned int m_nSplittingFactor;
  bool m_bDataBmpDisabled = false;
  TrueUpVolInfo m_oVolume;
  std::map<std::string, std::vector<CollectInfo>> m_mVolumeToCollects;
  // The pieces the units point to; they live as long as the handler.
  std::vector<std::unique_ptr<unsigned char, FreeDeleter>> m_vPieces;
};
