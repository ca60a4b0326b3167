#pragma once
// CIndexInfoTrueUp: the true-up's index thread. For every volume of the
// index queue it pages the volume's extent hashes out of the backup index's
// extent view into the volume's "VolIdxHash.kzf", one page at a time through
// the page file ("VolIdxHash.kzf-Page", the latest page only), and keeps
// "IdxRestartInfo.kzf" in the true-up folder: one line "volume|last extent
// fetched\n" per volume, in volume order, so that a rerun continues each
// volume after the last page it appended in full.
//
// "VolIdxHash.kzf" is only appended to, after what a power loss in the
// middle of an append left (a torn line, NUL bytes) is cut off with all
// after it; a rerun may therefore list extents again, which the comparison
// tolerates. The restart information never
// names more than a power loss leaves: before each save the index hash files
// appended to since the last one are synced with their folders, and the
// file is replaced through a synced temporary. A save that would write what
// the file already holds is left out. A volume whose extent view hands
// back a page that does not advance past the last extent fetched ends its
// paging there (with a log line) rather than asking for the same page
// forever. A stop breaks the paging off between two pages.
#include <atomic>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <map>
#include <set>
#include <string>

#include "platform/error/qi_error.h"
#include "platform/indexing/idx_browse_client.h"
#include "platform/thread/alertable_event_thread.h"
#include "records/tarvos_job_info.h"
#include "scan/true_up_work_units.h"

class CSnapReadManager;

class CIndexInfoTrueUp : public CAlertableEventThread {
 public:
  static constexpr const char* kRestartFile = "IdxRestartInfo.kzf";
  static constexpr const char* kIndexHashFile = "VolIdxHash.kzf";

  CIndexInfoTrueUp(const boost::shared_ptr<CSnapReadManager>& manager, TarvosJobInfo& job,
                   const std::string& trueUpFolder, unsigned int clientId, unsigned int pageSize);
  ~CIndexInfoTrueUp() override;

  bool IsIdle() const { return m_bIdle; }
  bool AnyFailure() const { return m_bFailed; }

  void OnStart() override;
  void OnStop() override;

  CQiError FetchVolumeExtentHashes();

 private:
  CQiError Initialize(databrowse::BrowseRequest& request);
  CQiError PopulateIndexRestartInfo();
  CQiError SaveIndexRestartInfo();
  CQiError FetchVolumeExtentHashesForVolume(const IdxVolInfo& volume);
  CQiError PrepareBrowseReq(const IdxVolInfo& volume);
  CQiError UpdateBrowseReq();
  CQiError DoBrowse(databrowse::BrowseResponseList& reply);
  CQiError ProcessBrowseResp(databrowse::BrowseResponseList& reply, const IdxVolInfo& volume, bool& done);
  CQiError AppendBrowseRespToIdxHashFile();
  // Syncs the index hash files written since the last save, and their
  // folders, once each.
  CQiError SyncIndexHashFiles();
  // The query of the page that follows what was fetched of the volume.
  void ReplaceQuery();

  std::string m_sTrueUpFolder;
  std::string m_sIdxHashFile;
  std::string m_sPageFile;
  std::atomic<bool> m_bFailed{false};
  std::atomic<bool> m_bIdle{true};
  std::atomic<bool> m_bStopping{false};
  unsigned int m_nClientId;
  unsigned int m_nPageSize;
  unsigned long long m_nLastExtentId = 0;
  bool m_bFetchedAny = false;  // of the current volume: m_nLastExtentId is meaningful
  bool m_bRestartInfoLoaded = false;
  bool m_bRestartInfoSaved = false;  // and the map unchanged since
  std::set<std::string> m_oUnsyncedHashFiles;
  unsigned long long m_nAppType = 0;
  IdxBrowseClient m_oBrowseClient;
  TarvosJobInfo m_oJobInfo;
  std::map<std::string, unsigned long long> m_mRestartInfo;
  boost::weak_ptr<CSnapReadManager> m_pManager;
};
