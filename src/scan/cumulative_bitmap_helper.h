#pragma once
// CCumulativeBitmapHelper: the corrections a scan applies to a volume's change
// bitmap beyond what the driver recorded, made once per scan and asked per
// volume in this order: ConvertToFullIfFailedInSFV; for a volume that is not
// full, MergeMissingExtsFromSFV, then (unless AreAllBitsSet on the change
// bitmap) MakeSureChangesInDataOnlyBlockBitmapAreReflectedInDiskBitmap.
//
// Both corrections exist only for clients that use indexing V2:
// - a synthetic-full validation names, with "-lvwme", the components in
//   which the backup index lacks extents; each goes full, or (registry
//   "nBlkLvlBackupOnlyMissedExtentsInSFV") gets the used extents the index
//   lacks, fetched with one browse of the index (index_bitmap_browse.cc);
// - every extent the file system uses now, did not use at the previous job
//   (its cumulative bitmap, downloaded once per scan from its job-info
//   container, cumulative_bitmap_download.cc) and the driver did not mark is
//   added to the change bitmap.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/error/qi_error.h"
#include "platform/indexing/idx_browse_client.h"
#include "records/tarvos_job_info.h"
#include "scan/true_up_vol_info.h"

class CCumulativeBitmapHelper {
 public:
  // The folder of the job-results directory that holds this job's cumulative
  // bitmaps; the previous job's are fetched into it + "_" + its job id.
  static constexpr const char* kCumulativeFolder = "BlockLevelCumulativeBM";

  CCumulativeBitmapHelper(TarvosJobInfo& job, const std::string& jobResultsDir, unsigned int clientId,
                          long long previousJobId);
  virtual ~CCumulativeBitmapHelper();
  CCumulativeBitmapHelper(const CCumulativeBitmapHelper&) = delete;
  CCumulativeBitmapHelper& operator=(const CCumulativeBitmapHelper&) = delete;

  // Keeps the component map, creates the two folders when absent, reads the
  // components a synthetic-full validation named and tells the job manager
  // that they were taken.
  virtual CQiError Initialize(std::map<std::string, std::string>& componentMap);

  // Whether the component goes full for the synthetic-full validation.
  CQiError ConvertToFullIfFailedInSFV(const std::string& volume, const std::string& componentId, bool& full);
  // change |= data-only AND NOT index, over the bytes both cover.
  CQiError MergeMissingExtsFromSFV(const std::string& volume, const std::string& componentId, uint64_t bitmapBytes,
                                   TrueUpVolInfo::VolumeBitmapsPtr& bitmaps);
  // change |= data-only AND NOT the previous job's cumulative bitmap, over
  // the bytes both cover; fails (-1) when the previous job left no bitmap
  // for the component.
  CQiError MakeSureChangesInDataOnlyBlockBitmapAreReflectedInDiskBitmap(const std::string& volume,
                                                                        const std::string& componentId,
                                                                        uint64_t bitmapBytes,
                                                                        TrueUpVolInfo::VolumeBitmapsPtr& bitmaps);

  // Whether each of the first bytes * 8 bits is set (true for 0 bytes).
  static bool AreAllBitsSet(unsigned long bytes, unsigned char* bitmap);
  static bool test_bmp_bit(long long n, const void* bitmap);
  static void set_bmp_bit(long long n, void* bitmap);

  const std::string& GetCumulativeFolder() const { return m_sCumulativeFolder; }
  const std::string& GetPreviousJobFolder() const { return m_sPreviousJobFolder; }

 protected:
  // The index's extent bitmap of each component (component id -> raw bitmap
  // bytes), with one browse: the steps below, in this order. Entries taken
  // before a failure stay in the map. Fails (774) unless the map then holds
  // exactly the requested components.
  CQiError FetchIdxBmpForVolumes(std::vector<std::string>& components, std::map<std::string, std::string>& bitmaps);
  // Makes the browse client and gives it the base request, of the job's
  // application.
  CQiError InitializeBrowseRequest(databrowse::BrowseRequest& request);
  // Asks for the components' extent bitmaps, with the configured time-out.
  CQiError PrepareIdxExtBmpBrowseReq(std::vector<std::string>& components);
  // Browses and checks the responses, up to the first that has no more results.
  CQiError DoBrowse(databrowse::BrowseResponseList& reply);
  CQiError ProcessIdxBmpBrowseResp(databrowse::BrowseResponseList& reply, std::map<std::string, std::string>& bitmaps);

 private:
  // The components a synthetic-full validation found missing extents in;
  // none without indexing V2.
  CQiError ReadComponentsFailedInSFV();
  // Tells the job manager that the components' missing-extents information
  // was taken.
  CQiError ResetVolumesWithMissingExtentsInJobManager();
  // Downloads the previous job's cumulative bitmaps into the previous-job
  // folder, once per scan.
  CQiError FetchCumulativeBackupBitmapsFromPreviousJob();
  CQiError DownloadBitmapsFromCumulativeContainer(bool& found, std::string& stowhostClientName, unsigned long& fromTime,
                                                  unsigned long& toTime);
  // The Stowhost client holding the previous job's archive files, and the
  // times of its first and last archive file.
  CQiError GetStowhostNameAndBackupTimeForSnapJob(std::string& stowhostClientName, unsigned long& fromTime,
                                                  unsigned long& toTime);

  TarvosJobInfo m_oJobInfo;
  std::string m_sJobResultsDir;
  std::string m_sCumulativeFolder;
  std::string m_sPreviousJobFolder;
  std::unique_ptr<IdxBrowseClient> m_pBrowseClient;
  std::vector<std::string> m_vSFVComponents;
  std::map<std::string, std::string> m_mIdxExtentBitmaps;
  std::map<std::string, std::string> m_mComponentMap;
  bool m_bIndexingV2 = false;
  unsigned int m_nClientId;
  uint64_t m_nVornCellId;
  uint64_t m_nAppId;
  uint64_t m_nAppType = 0;
  bool m_bOnlyMissedExtents = false;
  long long m_nPreviousJobId;
  bool m_bCumulativeBitmapsFetched = false;
  bool m_bNoPreviousCumulativeBitmaps = false;
};
