// The PostgreSQL agent's own index entries of the snapshot job are carried
// into the new job's index on its pseudo archive files: one "default" entry
// per mount point under the mount point's component, then one "TABLEVIEW"
// entry.
#include "platform/log/ev_debug.h"
#include "pseudosnap/agent_carry_forward.h"
#include "pseudosnap/pseudo_snap_handler_private.h"

namespace {

using ViewEntry = databrowse::ViewIdComponentIdToAfileMap;
using PathEntry = databrowse::PathToAfileMap;

constexpr int64_t kEntryOrTreeRequest = 1;
constexpr int64_t kMountPointFlags = 4;

bool IsMountPoint(const CNMessageBase& item) {
  databrowse::BrowseItemFlags flags;
  return item.getObjectAccessor(databrowse::BrowseData::kFlags.number, databrowse::BrowseData::kFlags.tag, flags) &&
         flags.isSet(flags.kMountPoint.number, flags.kMountPoint.tag) &&
         flags.getint64(flags.kMountPoint.number, flags.kMountPoint.tag) != 0;
}

}  // namespace

CQiError CPostGresPseudoSnapArchiveHandlerPrivate::AppendAgentCarryFwdIndex(databrowse::BrowseTimeRange timeRange) {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 3, "ENTER");
  for (const auto& [snapId, pseudoId] : m_mSnapToPseudoArchFileMap)
    log.DebugLvl(__FUNCTION__, 3, "snap archive file [%d]->pseudo archive file[%d]", snapId, pseudoId);

  uint64_t precedence = 0;
  CQiError error = AgentCarryFwdCopyPrecedence(precedence);
  if (error.IsError()) return error.Push(FXCODELOC);
  databrowse::BrowseRequest request =
      pseudosnap::AgentBrowseRequest(kEntryOrTreeRequest, m_nVornCellId, m_nAppId, m_nAppType, timeRange, precedence);
  pseudosnap::SetBrowsePaths(request, {"/", "\\"});
  databrowse::BrowseOptions options;
  options.setint64(options.kOption10.number, options.kOption10.tag, 0);
  request.setObjectAccessor(request.kOptions.number, request.kOptions.tag, options);

  IdxBrowseClient client;
  databrowse::BrowseResponseList reply;
  int64_t code = 0;
  error = pseudosnap::BrowseWithRetry(client, request, reply, true, -1, code);
  if (error.IsError()) return error.Push(FXCODELOC);
  if (code != pseudosnap::kBrowseCodeOk) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, pseudosnap::kEmptyResultText);
  std::string replyText;
  reply.serialize(replyText, false);
  log.DebugLvl(__FUNCTION__, 0, "Browse Response Xml=[%s]", replyText.c_str());

  // The list's first path lends every new entry its numbers; what is added
  // below goes after it, so it is read once.
  CNMessageBase first;
  const bool haveFirst = pseudosnap::FirstCarryForwardPath(m_GuidToAfileMapVector, first);
  // The table view's paths carry the numbers of the last mount point.
  PathEntry last;
  for (const CNMessageBase& item : pseudosnap::ReplyItems(reply)) {
    const std::string path = item.getstring(databrowse::BrowseData::kPath.number, databrowse::BrowseData::kPath.tag);
    if (path.empty()) continue;
    if (path == "/TblView" || path == "/+DBDIR+") {
      log.DebugLvl(__FUNCTION__, 6, "Table view %s path", path.c_str());
      continue;
    }
    if (!IsMountPoint(item)) {
      log.DebugLvl(__FUNCTION__, 10, "Not mount point - skiping %s:", path.c_str());
      continue;
    }
    databrowse::BrowseDataResult data;
    item.getObjectAccessor(databrowse::BrowseData::kData.number, databrowse::BrowseData::kData.tag, data);
    const int snapId = static_cast<int>(data.getint64(data.kArchFileId.number, data.kArchFileId.tag));
    const std::string guid = data.getstring(data.kComponentGuid.number, data.kComponentGuid.tag);
    log.DebugLvl(__FUNCTION__, 3, "Mount point path=[%s], archiveFileId %d guid %s", path.c_str(), snapId,
                 guid.c_str());
    const auto mapped = m_mSnapToPseudoArchFileMap.find(snapId);
    const int pseudoId = mapped != m_mSnapToPseudoArchFileMap.end() ? mapped->second : 0;
    if (pseudoId == 0 || guid.empty()) {
      log.DebugLvl(__FUNCTION__, -1, "Unable to get snap arch file id for path %s pseudo archfile %d", path.c_str(),
                   snapId);
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Error getting archive file and/or component gui for %s",
                                     path.c_str());
    }
    if (!haveFirst) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Snap shot index copying to backup copy failed");
    PathEntry entry;
    entry.setstring(PathEntry::kPath.number, PathEntry::kPath.tag, path);
    entry.setint64(PathEntry::kArchFileId.number, PathEntry::kArchFileId.tag, pseudoId);
    entry.setint64(PathEntry::kArchGroupId.number, PathEntry::kArchGroupId.tag,
                   data.getint64(data.kArchGroupId.number, data.kArchGroupId.tag));
    entry.setint64(PathEntry::kArchFileFlags.number, PathEntry::kArchFileFlags.tag, kMountPointFlags);
    entry.setint64(PathEntry::kArchFileValue.number, PathEntry::kArchFileValue.tag,
                   first.getint64(PathEntry::kArchFileValue.number, PathEntry::kArchFileValue.tag));
    ViewEntry mountPoint;
    mountPoint.setstring(ViewEntry::kViewName.number, ViewEntry::kViewName.tag, "default");
    mountPoint.setstring(ViewEntry::kComponentId.number, ViewEntry::kComponentId.tag, guid);
    mountPoint.setlistobject(ViewEntry::kPaths.number, ViewEntry::kPaths.tag, {entry});
    m_GuidToAfileMapVector.push_back(mountPoint);
    last = entry;
    log.DebugLvl(__FUNCTION__, 2, "Path %s(snapArchFileId %d, pseudoArchiveId %d) added to Default View; CompId %s",
                 path.c_str(), snapId, pseudoId, guid.c_str());
  }

  std::vector<CNMessageBase> tableViewPaths;
  for (const char* path : {"/TblView", "/+DBDIR+"}) {
    PathEntry entry;
    entry.setstring(PathEntry::kPath.number, PathEntry::kPath.tag, path);
    for (const CNFieldId& field :
         {PathEntry::kArchFileId, PathEntry::kArchGroupId, PathEntry::kArchFileFlags, PathEntry::kArchFileValue})
      if (last.isSet(field.number, field.tag))
        entry.setint64(field.number, field.tag, last.getint64(field.number, field.tag));
    tableViewPaths.push_back(entry);
  }
  ViewEntry tableView;
  tableView.setstring(ViewEntry::kViewName.number, ViewEntry::kViewName.tag, "TABLEVIEW");
  tableView.setstring(ViewEntry::kComponentId.number, ViewEntry::kComponentId.tag, "default");
  tableView.setlistobject(ViewEntry::kPaths.number, ViewEntry::kPaths.tag, tableViewPaths);
  m_GuidToAfileMapVector.push_back(tableView);
  log.DebugLvl(__FUNCTION__, 2, "/TblView and /+DBDIR+ added to TblView Map");
  log.DebugLvl(__FUNCTION__, 2, "TblView map added to parent GuidToAfileMapVector");
  return CQiError();
}
