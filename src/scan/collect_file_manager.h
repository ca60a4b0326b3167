#pragma once
// CollectFileManager: one job's scan and the backup side of its output.
//
// At the scan (CreateBlkLevelCollectFiles) it assembles every volume's
// bitmaps: the change bitmap (extents to back up) from the change-tracking
// layer through the device-configuration handler, the data-only bitmap
// (extents the file system uses) from the snapshot, and the cumulative
// corrections; then it writes each volume's collect files, one line per
// extent to read, split over the backup streams, and lists them in
// "ListOfCollect.txt" and the volumes' snapshots in "SrcSnapFile.kzf".
// At the backup (getCollectInstance) a fresh manager reads the list back and
// hands each volume's collect files out one at a time.
//
// Collect file: "CollectTot_<id>.kzf" (full backup) or "CollectInc_<id>.kzf"
// in the job-results directory; ids count from 1 over all volumes of a scan,
// so a volume that failed leaves a gap. A line is the volume path without its
// trailing delimiter, "/", the extent's 8-digit name (see
// ExtentNameConverter), in increasing extent order.
// "ListOfCollect.txt": "volume|collect file path|id\n" per collect file,
// volumes in byte order, each volume's files in hand-out order.
// "SrcSnapFile.kzf": "|volume|snapshot device|\n" per volume whose collect
// files were made, in scan order.
// The backup process reads all three, so a volume lands in the two lists
// only once its collect files are whole on disk, and each list appears under
// its name only once complete.
#include <boost/shared_ptr.hpp>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "blocklevel/blocklevel.h"
#include "blocklevel/export.h"
#include "platform/error/qi_error.h"
#include "platform/hashing/extent_name_converter.h"
#include "platform/mnttab/kz_mnt_tab.h"
#include "records/tarvos_job_info.h"
#include "scan/collect_failure_mark_file.h"
#include "scan/true_up_vol_info.h"

class CCumulativeBitmapHelper;
class KzDeviceConfigHandler;

class BLB_EXPORT CollectFileManager {
 public:
  static constexpr const char* kListOfCollectFile = "ListOfCollect.txt";
  static constexpr const char* kSrcSnapFile = "SrcSnapFile.kzf";
  static constexpr const char* kFullCollectPrefix = "CollectTot_";
  static constexpr const char* kIncrCollectPrefix = "CollectInc_";
  // What a collect line of the root volume is read back under.
  static constexpr const char* kRootVolumeFakeName = "KzFakeStringForVolumeRootBlockLevel";

  // Copies the job and takes a device-configuration handler for it;
  // reserved is not used.
  CollectFileManager(TarvosJobInfo& job, int clientId, int reserved);
  ~CollectFileManager();
  CollectFileManager(const CollectFileManager&) = delete;
  CollectFileManager& operator=(const CollectFileManager&) = delete;

  void SetTrueUpStatus(bool trueUp) { m_bTrueUp = trueUp; }
  void SetLastJobId(long long jobId) { m_nLastJobId = jobId; }
  std::vector<TrueUpVolInfo>& GetTrueUpVolInfo() { return m_vTrueUpVolumes; }
  CQiError InitCumBmpHelper();

  // --- bitmap assembly ----------------------------------------------------------

  // Every volume's bitmaps, in list order; the first failure stops it.
  CQiError FetchBitmapForVolumes(const std::list<ScanObjects_t>& scanObjects);
  CQiError FetchBitmapForVolume(const ScanObjects_t& scan);
  CQiError InitCompIds(const std::list<ScanObjects_t>& scanObjects);
  CQiError GetMountList();
  // Fails when the data-only bitmap marks fewer extents than the used space
  // of the snapshot's mounted file system needs (no mount: no check).
  CQiError ValidateDataOnlyBitMapForVolume(const ScanObjects_t& scan, unsigned char* dataBitmap,
                                           unsigned long bitmapSize, int extentSize);
  // Follows one level of symbolic link, in place.
  CQiError GetLinkTargetPath(std::string& path);
  // Clears, in place, the change bits of extents the file system does not
  // use, unless "sDisableDataOnlyBlock" is "true".
  CQiError HandleDataOnlyBitMap(const ScanObjects_t& scan, unsigned char* changeBitmap, const unsigned long& bitmapSize,
                                int extentSize);
  // Saves a volume's data-only bitmap in the job's cumulative-bitmap folder.
  // Its folder is synced by SyncCumulativeFolder, once for all volumes.
  CQiError GenerateCumulativeBitmap(unsigned char* bitmap, unsigned long long bitmapSize, const std::string& volume,
                                    const std::string& sourceDevice, const std::string& fsType);
  // Syncs the folder of the cumulative bitmaps written since the last call.
  CQiError SyncCumulativeFolder();
  static bool IsNthBitSet(unsigned long long n, const unsigned char* bitmap);
  static void SetNthBit(unsigned long long n, unsigned char* bitmap);
  static void UnsetNthBit(unsigned long long n, unsigned char* bitmap);

  // --- collect files ---------------------------------------------------------------

  // The scan's whole output; a volume whose collect files fail is left out of
  // both lists and the others go on, the volume marked so that its next scan
  // lists it whole (a mark that cannot be left fails the scan).
  CQiError GenerateCollectFilesForPaths(std::list<ScanObjects_t>& scanObjects, int nStreams, bool allowMultipleReaders,
                                        int starvationFactor, unsigned int& totalExtents);
  CQiError GenerateSingleCollectFileForVolume(const ScanObjects_t& scan, int nStreams, bool allowMultipleReaders,
                                              int starvationFactor, unsigned int& count);
  // One line per extent set in the bitmap (the volume's change bitmap, masked
  // in place by HandleDataOnlyBitMap) and below the volume's extent count.
  // The file is not synced: GenerateSingleCollectFileForVolume syncs it, or
  // the pieces it is split into.
  CQiError GenerateSingleCollectFile(const ScanObjects_t& scan, const std::string& name, const unsigned char* bitmap,
                                     unsigned long bitmapSize, unsigned long& count, int extentSize);
  // Lines for extents 0 to n - 1.
  CQiError GenerateSingleCollectFile(const ScanObjects_t& scan, const std::string& name, unsigned long long n,
                                     unsigned long& count);
  // One line, extent 0.
  CQiError GenerateDefaultCollectFile(const ScanObjects_t& scan, const std::string& name);
  CQiError SplitCollectFile(const ScanObjects_t& scan, const std::string& name, int nFiles, unsigned long total);
  CQiError WriteCollectFilesToDisk();
  CQiError ReadCollectFilesFromDisk(std::list<std::string>& volumes);
  void PrintCollectConfig();
  // 1 with the volume's next collect file not handed out yet, else 0.
  int GetNextCollectForVolume(const std::string& volume, std::string& name, int& id);
  // 1 with the next line's volume, entry path and extent; 0 at the end of the
  // file; -1 for a stream that is not readable or a line that is not a
  // collect line.
  static int ReadExtentsFromCollectFile(std::ifstream& stream, std::string& volume, std::string& entryPath,
                                        unsigned long& extent);

  // --- true-up -----------------------------------------------------------------------

  CQiError PrepareForTrueUpJob(const std::list<ScanObjects_t>& scanObjects);
  // ORs each volume's true-up bitmap into its change bitmap.
  CQiError MergeTrueUpBitmaps(const std::list<ScanObjects_t>& scanObjects);
  CQiError NumberOfStreamsToBeReserved(int& nStreams);

 private:
  typedef std::map<std::string, std::vector<CollectList>> CollectMap;

  // The volume's bitmap at the index, or null when the volume has none.
  unsigned char* VolumeBitmap(const std::string& volume, int index) const;
  // The volume's device record; an empty record without a handler.
  CQiError LookUpDevice(const std::string& volume, BackupDeviceInfo& device);
  // Takes the next collect id and gives its file's name.
  std::string NextCollectName(int& id);
  // The mark that makes the volume's next scan list the whole volume: its
  // path, empty when the volume has no component id.
  std::string FullBackupMarkPath(const std::string& volume);
  enum class MarkVerdict {
    kNone,              // no mark
    kOwed,              // the volume is listed whole
    kListingCompleted,  // "-lsjid" names a job that listed it whole
  };
  // Reads the volume's mark, once per scan; an owed one is kept for
  // RecordWholeListings.
  MarkVerdict JudgeFullBackupMark(const std::string& volume);
  void DropFullBackupMark(const std::string& volume);
  // Left for a volume whose collect file failed; it names no listing.
  CQiError MarkForFullBackup(const std::string& volume);
  // Adds this job to the marks of the volumes it listed whole for them.
  void RecordWholeListings();
  // "ListOfCollect.txt" and "SrcSnapFile.kzf" of an earlier run go before a
  // collect file they may name is written again.
  CQiError RemoveCollectLists();

  TarvosJobInfo m_oJobInfo;
  std::string m_sCollectPrefix;
  int m_nClientId;
  CollectMap m_mCollectMap;
  std::vector<std::string> m_vFailedVolumes;
  struct OwedMark {
    std::string path;
    scan::CollectFailureMark mark;
    bool refused = false;  // what stands at the path is no mark
  };
  std::map<std::string, OwedMark> m_mOwedMarks;  // by volume: listed whole for them
  std::vector<TrueUpVolInfo> m_vTrueUpVolumes;
  std::map<std::string, TrueUpVolInfo::VolumeBitmapsPtr> m_mVolumeBitmaps;
  std::map<std::string, std::string> m_mComponentIds;
  boost::shared_ptr<CCumulativeBitmapHelper> m_pCumBmpHelper;
  long long m_nLastJobId = 0;
  std::list<KzMntTab::Entry> m_lMountList;
  int m_nNextCollectId = 1;
  std::unique_ptr<KzDeviceConfigHandler> m_pConfigHandler;
  bool m_bTrueUp = false;
  // The folder of cumulative bitmaps replaced but not yet synced, if any.
  std::string m_sCumulativeFolderToSync;

  // Named after the volume being assembled; it only tells the log the
  // volume's geometry, since names do not depend on it.
  static ExtentNameConverter s_oExtentNameConverter;
};
