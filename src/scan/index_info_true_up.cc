#include "scan/index_info_true_up.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>

#include "library/entry_guard.h"
#include "platform/hashing/extent_hash_table.h"
#include "platform/hashing/extent_name_converter.h"
#include "platform/log/ev_debug.h"
#include "platform/services/subclient.h"
#include "platform/text/fx_string.h"
#include "records/durable_files.h"
#include "records/file_replacement.h"
#include "scan/checked_file_writer.h"
#include "scan/index_browse_common.h"
#include "scan/index_hash_cut.h"
#include "scan/snap_read_manager.h"

namespace {

constexpr unsigned kErrorFailed = 774;
constexpr unsigned kErrorAborted = 995;
constexpr int kTimeoutSeconds = 30;
constexpr int64_t kExtentViewRequest = 0;
constexpr const char* kExtentViewId = "{20d03aa2-7726-42d8-8381-fdda7a8a1c47}";
constexpr const char* kExtentView = "EXTENTVIEW";
constexpr unsigned kExtentNameWidth = 8;

// The function's entry and exit, when the log asks for traces.
class Trace {
 public:
  explicit Trace(const char* function) {
    if (EvDebug::IsLevelEnabled(2)) m_oTrace.emplace(function);
  }

 private:
  std::optional<KZDebugFunction> m_oTrace;
};

// The query of one page: `pageSize` extents from `first` upward.
databrowse::Query PageQuery(unsigned long long first, unsigned int pageSize) {
  char name[16] = {0};
  ExtentNameConverter::Extent_dec_to_base32_v2(first, name, kExtentNameWidth);
  databrowse::BrowsePaging paging;
  paging.setstring(paging.kFirstItem.number, paging.kFirstItem.tag, name);
  paging.setuint64(paging.kPageSize.number, paging.kPageSize.tag, pageSize);
  databrowse::QueryDataParam param;
  param.setObjectAccessor(param.kPaging.number, param.kPaging.tag, paging);
  databrowse::Query query;
  query.setstring(2, 2, "0");
  query.setint64(1, 1, 0);
  query.setObjectAccessor(query.kDataParam.number, query.kDataParam.tag, param);
  return query;
}

}  // namespace

CIndexInfoTrueUp::CIndexInfoTrueUp(const boost::shared_ptr<CSnapReadManager>& manager, TarvosJobInfo& job,
                                   const std::string& trueUpFolder, unsigned int clientId, unsigned int pageSize)
    : m_sTrueUpFolder(trueUpFolder),
      m_nClientId(clientId),
      m_nPageSize(pageSize),
      m_oJobInfo(job),
      m_pManager(manager) {
  SetTimeout(CTimeInterval::FromSeconds(kTimeoutSeconds));
  // Unknown applications, and a query that fails, leave the type 0.
  unsigned long appType = 0;
  ApplicationId(job.GetVornCellId(), job.GetAppId()).getAppType(appType, nullptr);
  m_nAppType = appType;
  SetStopInterrupt([this] { m_bStopping = true; });
}

CIndexInfoTrueUp::~CIndexInfoTrueUp() {
  Stop(true);
}

void CIndexInfoTrueUp::OnStart() {
  Trace trace(__FUNCTION__);
  // An exception leaving the thread would end the agent's process: it fails
  // the fetch, and so the true-up, instead.
  CQiError err;
  try {
    err = FetchVolumeExtentHashes();
  } catch (...) {
    err = blocklevel::FailureOfCurrentException(__FUNCTION__);
  }
  if (err.IsError()) {
    EvDebug log;
    log.Error(__FUNCTION__, "Failure while fetching volume extent hashes, error[%s]", err.AsString().c_str());
    m_bFailed = true;
  }
}

void CIndexInfoTrueUp::OnStop() {
  Trace trace(__FUNCTION__);
  // A fetch that failed before the restart file was read would write an
  // empty map over it, and a rerun would fetch every page again.
  if (!m_bRestartInfoLoaded) return;
  CQiError err;
  try {
    err = SaveIndexRestartInfo();
  } catch (...) {
    err = blocklevel::FailureOfCurrentException(__FUNCTION__);
  }
  if (err.IsError()) {
    EvDebug log;
    log.Error(__FUNCTION__, "Failure while saving Idx restart info, error=%s", err.AsString().c_str());
    m_bFailed = true;
  }
}

CQiError CIndexInfoTrueUp::FetchVolumeExtentHashes() {
  if (m_pManager.expired()) return CQiError();
  databrowse::BrowseRequest request;
  CQiError err = Initialize(request);
  if (err.IsError())
    return err.Push(FXCODELOC, "Failed in initializing IdxBrowseClient instance, error=[%s]", err.AsString().c_str());
  err = PopulateIndexRestartInfo();
  if (err.IsError())
    return err.Push(FXCODELOC, "Failed in reading Index restart info, error=[%s]", err.AsString().c_str());

  for (;;) {
    m_bIdle = false;
    IdxVolInfo volume;
    {
      boost::shared_ptr<CSnapReadManager> manager = m_pManager.lock();
      err = manager ? manager->GetNextIndexVolume(volume)
                    : FXErrorUtil::ErrorWin32(FXCODELOC, CSnapReadManager::kQueueEmpty);
    }
    if (FXErrorUtil::IsWin32(err, CSnapReadManager::kQueueEmpty)) break;
    if (err.IsError()) return err.Push(FXCODELOC, "GetNextIndexVolume failed to get next item");
    err = FetchVolumeExtentHashesForVolume(volume);
    if (err.IsError())
      return err.Push(FXCODELOC, "FetchVolumeExtentHashesForVolume failed with error[%s]", err.AsString().c_str());
  }

  err = SaveIndexRestartInfo();
  if (err.IsError()) {
    EvDebug log;
    log.Error(__FUNCTION__, "Failure while saving Idx restart info, error=%s", err.AsString().c_str());
    m_bFailed = true;
  }
  m_bIdle = true;
  return CQiError();
}

CQiError CIndexInfoTrueUp::Initialize(databrowse::BrowseRequest& request) {
  request.setint64(request.kRequestType.number, request.kRequestType.tag, kExtentViewRequest);
  scan::FillBaseBrowseRequest(request, m_oJobInfo.GetVornCellId(), m_nClientId, m_oJobInfo.GetAppId(), m_nAppType);
  return scan::InitializeBrowseClient(m_oBrowseClient, request);
}

CQiError CIndexInfoTrueUp::PopulateIndexRestartInfo() {
  Trace trace(__FUNCTION__);
  EvDebug log;
  const std::string path = FXPath::Append(m_sTrueUpFolder, kRestartFile);
  if (!FXPath::DoesPathExist(path)) {
    log.DebugLvl(__FUNCTION__, 3, "No Indexing restart info to read from file[%s]", path.c_str());
    m_bRestartInfoLoaded = true;
    return CQiError();
  }
  std::ifstream file(path);
  if (!file.is_open())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, errno != 0 ? errno : EIO, "Failed to open %s to read Idx restart info",
                                   path.c_str());
  std::string line;
  while (std::getline(file, line)) {
    const size_t bar = line.find('|');
    if (bar == std::string::npos || line.find('|', bar + 1) != std::string::npos) {
      log.Error(__FUNCTION__, "Invalid entry[%s], skipping", line.c_str());
      continue;
    }
    const std::string volume = line.substr(0, bar);
    const std::string extent = line.substr(bar + 1);
    m_mRestartInfo[volume] = std::strtoull(extent.c_str(), nullptr, 10);
    log.DebugLvl(__FUNCTION__, 3, "Reading Idx restart entry, Volume[%s] ExtentId[%s]", volume.c_str(), extent.c_str());
  }
  m_bRestartInfoLoaded = true;
  return CQiError();
}

CQiError CIndexInfoTrueUp::SaveIndexRestartInfo() {
  if (m_bRestartInfoSaved) return CQiError();
  EvDebug log;
  const std::string path = FXPath::Append(m_sTrueUpFolder, kRestartFile);
  // The file names pages as appended: they are on disk before it is.
  CQiError err = SyncIndexHashFiles();
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to sync the index hash files before %s", path.c_str());
  scan::ReplacingFileWriter file(path);
  err = file.Open();
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to open file %s to write Idx restart info", path.c_str());
  char number[32];
  for (const auto& entry : m_mRestartInfo) {
    std::snprintf(number, sizeof number, "%llu", entry.second);
    file.Append(entry.first + "|" + number + "\n");
    log.DebugLvl(__FUNCTION__, 3, "Writing Idx restart entry, Volume[%s] ExtentId[%llu]", entry.first.c_str(),
                 entry.second);
  }
  err = file.Commit();
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to write Idx restart info to %s", path.c_str());
  m_bRestartInfoSaved = true;
  return CQiError();
}

CQiError CIndexInfoTrueUp::SyncIndexHashFiles() {
  std::set<std::string> folders;
  for (const std::string& file : m_oUnsyncedHashFiles) {
    CQiError err = records::SyncFile(file);
    if (err.IsError()) return err.Push(FXCODELOC);
    folders.insert(FXPath::GetParent(file));
  }
  for (const std::string& folder : folders) {
    CQiError err = records::SyncFolder(folder);
    if (err.IsError()) return err.Push(FXCODELOC);
  }
  m_oUnsyncedHashFiles.clear();
  return CQiError();
}

CQiError CIndexInfoTrueUp::FetchVolumeExtentHashesForVolume(const IdxVolInfo& volume) {
  m_sIdxHashFile = FXPath::Append(volume.GetVolTrueUpFolder(), kIndexHashFile);
  m_sPageFile = m_sIdxHashFile + "-Page";
  // A power loss in the middle of an append leaves lines that are no
  // entries (a torn one, or NUL bytes), which the comparison refuses on
  // every rerun. They go with all after them, and what went is fetched
  // again: the restart information names only pages synced whole, and a
  // cut into what it names takes the paging back to the last entry kept.
  scan::IndexHashCut cut;
  CQiError cutErr = scan::CutIndexHashFileAtFirstDamage(m_sIdxHashFile, cut);
  if (cutErr.IsError())
    return cutErr.Push(FXCODELOC, "Failed to cut the damaged entries off Index Hash file[%s]", m_sIdxHashFile.c_str());
  if (cut.bytes > 0) {
    EvDebug log;
    log.DebugLvl(__FUNCTION__, 0, "Cut %llu bytes from the first line that is no entry off Index Hash file[%s]",
                 static_cast<unsigned long long>(cut.bytes), m_sIdxHashFile.c_str());
    const auto restart = m_mRestartInfo.find(volume.GetVolume());
    if (restart != m_mRestartInfo.end() && (!cut.keptAny || cut.lastKept < restart->second)) {
      if (cut.keptAny)
        restart->second = cut.lastKept;
      else
        m_mRestartInfo.erase(restart);
      m_bRestartInfoSaved = false;
      // Saved at once, after the cut: a rerun must not take the extents cut
      // off for fetched.
      m_oUnsyncedHashFiles.insert(m_sIdxHashFile);
      cutErr = SaveIndexRestartInfo();
      if (cutErr.IsError()) return cutErr.Push(FXCODELOC);
    }
  }
  {
    // Both files exist from here on: the page file empty, the index hash
    // file as an earlier run left it.
    CExtentHashTable_File page(m_sPageFile);
    CQiError err = page.Initialize(std::ios_base::out | std::ios_base::trunc);
    if (err.IsError()) return err.Push(FXCODELOC, "Failed to open Page file[%s] to write", m_sPageFile.c_str());
    CExtentHashTable_File hashes(m_sIdxHashFile);
    err = hashes.Initialize(std::ios_base::out | std::ios_base::app);
    if (err.IsError())
      return err.Push(FXCODELOC, "Failed to open Index Hash file[%s] to append", m_sIdxHashFile.c_str());
    m_oUnsyncedHashFiles.insert(m_sIdxHashFile);
  }
  CQiError err = PrepareBrowseReq(volume);
  if (err.IsError()) return err.Push(FXCODELOC);
  databrowse::BrowseResponseList reply;
  for (bool done = false; !done;) {
    if (m_bStopping) return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorAborted, "Operation aborted");
    err = UpdateBrowseReq();
    if (err.IsError()) return err.Push(FXCODELOC);
    err = DoBrowse(reply);
    if (err.IsError()) return err.Push(FXCODELOC);
    err = ProcessBrowseResp(reply, volume, done);
    if (err.IsError()) return err.Push(FXCODELOC);
  }
  return CQiError();
}

CQiError CIndexInfoTrueUp::PrepareBrowseReq(const IdxVolInfo& volume) {
  Trace trace(__FUNCTION__);
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 3, "Preparing true-up browse request for volume=%s", volume.GetVolume().c_str());
  if (m_oBrowseClient.isInitFailed() || !m_oBrowseClient.isIndexingV2BrowseRequest())
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "Failed to fetch proper Indexing browse request");

  databrowse::BrowseOptions options;
  for (int flag : {2, 11, 44, 21, 65}) options.setint64(flag, flag, 1);
  options.setint64(3, 3, 0);
  m_oBrowseClient.setOptions(&options);
  databrowse::BrowsePath path;
  path.setstring(path.kPath.number, path.kPath.tag,
                 std::string("/") + kExtentViewId + "/" + kExtentView + "/" + volume.GetVolume());
  m_oBrowseClient.getPaths().clear();
  m_oBrowseClient.setPaths({path});
  databrowse::BrowseMode mode;
  mode.setint64(1, 1, 2);
  m_oBrowseClient.setMode(&mode);

  m_nLastExtentId = 0;
  m_bFetchedAny = false;
  const auto restart = m_mRestartInfo.find(volume.GetVolume());
  if (restart != m_mRestartInfo.end()) {
    m_nLastExtentId = restart->second;
    m_bFetchedAny = true;
  }
  ReplaceQuery();
  if (EvDebug::IsLevelEnabled(6))
    log.DebugLvl(__FUNCTION__, 6, "Volume[%s] pagesize[%u] BrowseReq[%s]", volume.GetVolume().c_str(), m_nPageSize,
                 m_oBrowseClient.serializeRequest().c_str());
  return CQiError();
}

void CIndexInfoTrueUp::ReplaceQuery() {
  const unsigned long long first = m_bFetchedAny ? m_nLastExtentId + 1 : 0;
  m_oBrowseClient.getQueries().clear();
  m_oBrowseClient.getQueries().push_back(PageQuery(first, m_nPageSize));
}

CQiError CIndexInfoTrueUp::UpdateBrowseReq() {
  if (m_oBrowseClient.isInitFailed() || !m_oBrowseClient.isIndexingV2BrowseRequest())
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "Failed to fetch proper Indexing browse request");
  ReplaceQuery();
  if (EvDebug::IsLevelEnabled(6)) {
    EvDebug log;
    log.DebugLvl(__FUNCTION__, 6, "BrowseReq[%s]", m_oBrowseClient.serializeRequest().c_str());
  }
  return CQiError();
}

CQiError CIndexInfoTrueUp::DoBrowse(databrowse::BrowseResponseList& reply) {
  CQiError err = scan::BrowseIndex(m_oBrowseClient, reply);
  if (err.IsError()) return err;
  const bool logResponses = EvDebug::IsLevelEnabled(6);
  for (const CNMessageBase& response : scan::BrowseResponsesOf(reply)) {
    err = scan::CheckBrowseResponse(response, logResponses);
    if (err.IsError()) return err;
  }
  return CQiError();
}

CQiError CIndexInfoTrueUp::ProcessBrowseResp(databrowse::BrowseResponseList& reply, const IdxVolInfo& volume,
                                             bool& done) {
  using Item = databrowse::BrowseData;
  using Data = databrowse::BrowseDataResult;
  EvDebug log;
  const std::vector<CNMessageBase> responses = scan::BrowseResponsesOf(reply);
  // Each response's items are copied out once: a page holds up to
  // thousands of them. A response without a browse result has none.
  auto itemsOf = [](const CNMessageBase& response) {
    std::optional<CNMessageBase> result = scan::BrowseResultOf(response);
    return result ? scan::BrowseItemsOf(*result) : std::vector<CNMessageBase>();
  };
  // A reply without any response, or whose first response holds no item,
  // is the end of the volume's extent view.
  std::vector<CNMessageBase> items = responses.empty() ? std::vector<CNMessageBase>() : itemsOf(responses[0]);
  if (items.empty()) {
    log.DebugLvl(__FUNCTION__, 0, "No more browse Pages for volumes=%s, moving to next volume",
                 volume.GetVolume().c_str());
    done = true;
    return CQiError();
  }

  CExtentHashTable_File page(m_sPageFile);
  CQiError err = page.Initialize(std::ios_base::out | std::ios_base::trunc);
  if (err.IsError())
    return err.Push(FXCODELOC, "Failed to open Page file[%s] to write browse response entries", m_sPageFile.c_str());
  std::string lastName;
  // One item and one line buffer for the whole page: a page holds up to
  // thousands of extents.
  ExtentHashItem entry;
  char line[ExtentHashItem::kNameWidth + 1 + ExtentHashItem::kHashLength];
  for (size_t i = 0; i < responses.size(); ++i) {
    if (i > 0) items = itemsOf(responses[i]);
    for (const CNMessageBase& item : items) {
      const std::string& name = item.getstringByRef(Item::kExtentName.number, Item::kExtentName.tag);
      Data data;
      if (!item.getObjectAccessor(Item::kData.number, Item::kData.tag, data))
        return FXErrorUtil::ErrorErrNo(FXCODELOC, kErrorFailed,
                                       "Browse DataResut set for extent[%s] volume[%s], do not have HASH set",
                                       name.c_str(), volume.GetVolume().c_str());
      const std::string& hash = data.getstringByRef(Data::kHash.number, Data::kHash.tag);
      if (name.size() + 1 + hash.size() <= sizeof line) {
        std::memcpy(line, name.data(), name.size());
        line[name.size()] = '|';
        std::memcpy(line + name.size() + 1, hash.data(), hash.size());
        entry.Initialize(line, name.size() + 1 + hash.size());
      } else {
        entry.Reset();
      }
      // Not an entry of the table's form: the table refuses it by name.
      if (!entry.IsValid()) entry = ExtentHashItem(name, hash, nullptr);
      err = page.AddExtentEntry(entry);
      if (err.IsError())
        return err.Push(FXCODELOC, "Failed to write extent entry to file[%s], ext[%llu]", m_sPageFile.c_str(),
                        ExtentNameConverter::Extent_base32_to_dec(name));
      lastName = name;
    }
  }
  err = page.Close();
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to write Page file[%s]", m_sPageFile.c_str());

  const unsigned long long last = ExtentNameConverter::Extent_base32_to_dec(lastName);
  if (m_bFetchedAny && last <= m_nLastExtentId) {
    // The same page again would come back for ever.
    log.DebugLvl(__FUNCTION__, 0,
                 "Extent view of volume[%s] does not advance past extent[%llu] (page ends at [%llu]), ending its pages",
                 volume.GetVolume().c_str(), m_nLastExtentId, last);
    done = true;
    return CQiError();
  }
  err = AppendBrowseRespToIdxHashFile();
  if (err.IsError()) return err.Push(FXCODELOC);
  m_nLastExtentId = last;
  m_bFetchedAny = true;
  m_mRestartInfo[volume.GetVolume()] = last;
  m_bRestartInfoSaved = false;
  return CQiError();
}

CQiError CIndexInfoTrueUp::AppendBrowseRespToIdxHashFile() {
  CExtentHashTable_File page(m_sPageFile);
  CQiError err = page.Initialize(std::ios_base::in);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to open Page file[%s] to read", m_sPageFile.c_str());
  CExtentHashTable_File hashes(m_sIdxHashFile);
  err = hashes.Initialize(std::ios_base::out | std::ios_base::app);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to open Index Hash file[%s] to append", m_sIdxHashFile.c_str());
  ExtentHashItem entry;
  for (;;) {
    err = page.GetNextExtentEntry(entry);
    if (err.IsError()) return err.Push(FXCODELOC, "Failed to read from Page file[%s]", m_sPageFile.c_str());
    if (!entry.IsValid()) break;
    err = hashes.AddExtentEntry(entry);
    if (err.IsError())
      return err.Push(FXCODELOC, "Failed to write Extent entry to Index Hash file[%s], ext[%llu]",
                      m_sIdxHashFile.c_str(), entry.GetExtentId());
  }
  // The restart information names this page only once all of it is in the
  // file.
  err = hashes.Close();
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to append to Index Hash file[%s]", m_sIdxHashFile.c_str());
  return CQiError();
}
