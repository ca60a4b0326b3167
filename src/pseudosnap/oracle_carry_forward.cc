// The Oracle agent's own index entries of the snapshot job (data files, and
// table-view and tablespace-dependency entries) are carried into the new
// job's index on its pseudo archive files: one "default" entry for the
// instance's data files, and at most one "TABLEVIEW" entry.
#include <map>

#include "platform/dbagents/instance.h"
#include "platform/dbagents/oracle_rac_instance.h"
#include "platform/log/ev_debug.h"
#include "pseudosnap/agent_carry_forward.h"
#include "pseudosnap/oracle_entry_path.h"
#include "pseudosnap/pseudo_snap_handler_private.h"

namespace {

using ViewEntry = databrowse::ViewIdComponentIdToAfileMap;
using PathEntry = databrowse::PathToAfileMap;

constexpr int64_t kChildrenRequest = 0;
constexpr int kDataFileList = 0;
constexpr int kTableViewList = 1;
constexpr const char* kCopyFailed = "Snap shot index copying to backup copy failed";

bool IsTableViewPath(const std::string& path) {
  for (const char* marker : {"/TblView", "\\TblView", "/+TblSpaceDep", "\\+TblSpaceDep"})
    if (path.find(marker) != std::string::npos) return true;
  return false;
}

}  // namespace

CQiError COraclePseudoSnapArchiveHandlerPrivate::AppendAgentCarryFwdIndex(databrowse::BrowseTimeRange timeRange) {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 2, "ENTER");
  for (const auto& [snapId, pseudoId] : m_mSnapToPseudoArchFileMap)
    log.DebugLvl(__FUNCTION__, 3, "snap [%d]->pseudo[%d]", snapId, pseudoId);

  ApplicationId application(m_nVornCellId, m_nAppId);
  Instance* instance = application.getInstance(nullptr);
  if (instance == nullptr) {
    log.DebugLvl(__FUNCTION__, 0, "Failed to lookup Oracle instance  for [%u:%u]", m_nVornCellId, m_nAppId);
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to lookup Oracle instance for [%u:%u]", m_nVornCellId,
                                   m_nAppId);
  }
  std::string name = KZ_DEFAULT_STR_PROP_VALUE;
  instance->getInstanceName(name, 0);
  const std::map<int, std::vector<std::string>> pathLists = {
      {kDataFileList, {"/" + name, "\\" + name}},
      {kTableViewList,
       {"/TblView/" + name, "\\TblView\\" + name, "/+TblSpaceDep+/" + name, "\\+TblSpaceDep+\\" + name}}};

  uint64_t precedence = 0;
  CQiError error = AgentCarryFwdCopyPrecedence(precedence);
  if (error.IsError()) return error.Push(FXCODELOC);
  databrowse::BrowseRequest request =
      pseudosnap::AgentBrowseRequest(kChildrenRequest, m_nVornCellId, m_nAppId, m_nAppType, timeRange, precedence);

  // The list's first path lends every new entry its numbers; what is added
  // below goes after it, so it is read once.
  CNMessageBase first;
  const bool haveFirst = pseudosnap::FirstCarryForwardPath(m_GuidToAfileMapVector, first);
  ViewEntry defaultEntry;
  std::vector<CNMessageBase> defaultPaths;
  bool tableViewAdded = false;
  IdxBrowseClient client;
  databrowse::BrowseResponseList reply;
  for (const auto& [list, paths] : pathLists) {
    pseudosnap::SetBrowsePaths(request, paths);
    if (list == kTableViewList) {
      databrowse::BrowseAdvancedOptions options;
      request.getObjectAccessor(request.kAdvancedOptions.number, request.kAdvancedOptions.tag, options);
      options.setstring(options.kViewName.number, options.kViewName.tag, "TABLEVIEW");
      request.setObjectAccessor(request.kAdvancedOptions.number, request.kAdvancedOptions.tag, options);
    }
    int64_t code = 0;
    error = pseudosnap::BrowseWithRetry(client, request, reply, false, 0, code);
    if (error.IsError()) return error.Push(FXCODELOC);
    if (code == pseudosnap::kBrowseCodeNothingFound && list == kTableViewList) {
      log.DebugLvl(__FUNCTION__, 0, "TblView items not present in snap backup, nothing to carryforward in backup copy");
      continue;
    }
    if (code != pseudosnap::kBrowseCodeOk) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, pseudosnap::kEmptyResultText);
    std::string replyText;
    reply.serialize(replyText, false);
    log.DebugLvl(__FUNCTION__, 9, "brXml=[%s]", replyText.c_str());

    for (const CNMessageBase& item : pseudosnap::ReplyItems(reply)) {
      const std::string path = item.getstring(databrowse::BrowseData::kPath.number, databrowse::BrowseData::kPath.tag);
      databrowse::BrowseDataResult data;
      item.getObjectAccessor(databrowse::BrowseData::kData.number, databrowse::BrowseData::kData.tag, data);
      const int snapId = static_cast<int>(data.getint64(data.kArchFileId.number, data.kArchFileId.tag));
      if (!path.empty()) log.DebugLvl(__FUNCTION__, 6, "path=[%s], archiveFileId %d", path.c_str(), snapId);
      const auto mapped = m_mSnapToPseudoArchFileMap.find(snapId);
      const int pseudoId = mapped != m_mSnapToPseudoArchFileMap.end() ? mapped->second : 0;
      if (pseudoId <= 0) {
        log.DebugLvl(__FUNCTION__, 0, "could not find equivalent pseudo archfile for %d", snapId);
        continue;
      }
      log.DebugLvl(__FUNCTION__, 0, "snapAfileId %d pseudoAfielId %d", snapId, pseudoId);
      if (!haveFirst) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, kCopyFailed);
      PathEntry entry;
      entry.setint64(PathEntry::kArchFileId.number, PathEntry::kArchFileId.tag, pseudoId);
      for (const CNFieldId& field : {PathEntry::kArchGroupId, PathEntry::kArchFileFlags, PathEntry::kArchFileValue})
        entry.setint64(field.number, field.tag, first.getint64(field.number, field.tag));
      log.DebugLvl(__FUNCTION__, 3, "adding path=[%s], archiveFileId %d", path.c_str(), snapId);
      if (list == kDataFileList) {
        entry.setstring(PathEntry::kPath.number, PathEntry::kPath.tag, path);
        defaultPaths.push_back(entry);
        continue;
      }
      if (!IsTableViewPath(path) || GetOraEntryParentPath(path).empty()) continue;
      log.DebugLvl(__FUNCTION__, 3, "TblView index found");
      if (tableViewAdded) continue;
      entry.setstring(PathEntry::kPath.number, PathEntry::kPath.tag, "/");
      ViewEntry tableView;
      tableView.setstring(ViewEntry::kViewName.number, ViewEntry::kViewName.tag, "TABLEVIEW");
      tableView.setstring(ViewEntry::kComponentId.number, ViewEntry::kComponentId.tag, "default");
      tableView.setlistobject(ViewEntry::kPaths.number, ViewEntry::kPaths.tag, {entry});
      m_GuidToAfileMapVector.push_back(tableView);
      tableViewAdded = true;
      log.DebugLvl(__FUNCTION__, 3, "TblView Added, not parsing remaining tblview items");
      break;
    }
  }
  if (defaultPaths.empty()) {
    log.DebugLvl(__FUNCTION__, -1,
                 "During backup copy data files associated to snap backup could not be mapped to pseudo snaps");
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, kCopyFailed);
  }
  defaultEntry.setstring(ViewEntry::kViewName.number, ViewEntry::kViewName.tag, "default");
  defaultEntry.setstring(ViewEntry::kComponentId.number, ViewEntry::kComponentId.tag, "default");
  defaultEntry.setlistobject(ViewEntry::kPaths.number, ViewEntry::kPaths.tag, defaultPaths);
  m_GuidToAfileMapVector.push_back(defaultEntry);
  return CQiError();
}
