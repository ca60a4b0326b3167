// The two lists the index carry-forward is built from, kept in the
// subclient directory so that a rerun of the job can still send it: the
// carry-forward entries ("<job>_IdxCarryFwd") and the snapshot-to-pseudo
// archive-file map ("<job>_SnapAFilePseudoAFileMap.kzf").
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"
#include "pseudosnap/pseudo_snap_handler_private.h"
#include "records/file_replacement.h"

namespace {

constexpr unsigned kMapEmpty = 1627;

// Field numbers and tags of the carry-forward messages.
constexpr CNFieldId kViewName{1, 1, 0};
constexpr CNFieldId kComponentId{2, 5, 0};
constexpr CNFieldId kPathList{3, 9, 0};
constexpr CNFieldId kPath{1, 1, 0};
constexpr CNFieldId kArchFileId{2, 5, 0};
constexpr CNFieldId kArchGroupId{3, 6, 0};
constexpr CNFieldId kArchFileFlags{4, 7, 0};
constexpr CNFieldId kArchFileValue{5, 8, 0};

int ErrnoOrMinusOne(const CQiError& error) {
  const long long code = FXErrorUtil::GetCode(error);
  return code > 0 ? static_cast<int>(code) : -1;
}

// How a failed open of the temporary is told: the two files' writers word
// it differently.
enum class OpenMessage { kPlain, kWithErrno };

// Writes the text to "<path>.tmp", syncs it and renames it over the path. On
// any failure the temporary is removed and the path keeps what it held.
CQiError WriteWhole(const std::string& path, const std::string& text, OpenMessage openMessage) {
  const std::string temporary = path + ".tmp";
  auto_handle handle;
  CQiError error = FXFile::KZCreateFile(temporary.c_str(), fxfile::kGenericWrite, fxfile::kShareNone, nullptr,
                                        fxfile::kCreateAlways, fxfile::kAttributeNormal, handle);
  if (error.IsError()) {
    const int code = ErrnoOrMinusOne(error);
    if (openMessage == OpenMessage::kPlain)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, code, "open(%s) failed to write carry fwd info", temporary.c_str());
    return FXErrorUtil::ErrorErrNo(FXCODELOC, code, "open(%s) failed to write carry fwd info:%d", temporary.c_str(),
                                   code);
  }
  uint64_t written = 0;
  error = FXFile::KZWriteFile(handle.get(), text.data(), text.size(), written);
  if (!error.IsError() && ::close(handle.release()) != 0)
    error = FXErrorUtil::ErrorFromErrno(FXCODELOC, "close(%s) failed", temporary.c_str());
  if (!error.IsError()) {
    error = records::ReplaceWithTemporary(temporary, path);
    if (error.IsError())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, ErrnoOrMinusOne(error), "Failed to rename(%s->%s): %s",
                                     temporary.c_str(), path.c_str(), error.GetMessage().c_str());
    return CQiError();
  }
  handle.reset();
  unlink_utf(temporary.c_str());
  return FXErrorUtil::ErrorErrNo(FXCODELOC, ErrnoOrMinusOne(error), "write(%s) failed: %s", temporary.c_str(),
                                 error.GetMessage().c_str());
}

std::vector<std::string> SplitFields(const std::string& line, size_t fields) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (parts.size() + 1 < fields) {
    const size_t bar = line.find('|', start);
    if (bar == std::string::npos) break;
    parts.push_back(line.substr(start, bar - start));
    start = bar + 1;
  }
  parts.push_back(line.substr(start));
  return parts;
}

}  // namespace

CQiError CPseudoSnapArchiveHandlerPrivate::SaveCarryFwdMapToDisk() {
  // Written anew each time: a rerun after a failure registers new pseudo
  // archive files, and the carry-forward must name those, not the first
  // attempt's.
  std::string text;
  for (const databrowse::ViewIdComponentIdToAfileMap& entry : m_GuidToAfileMapVector) {
    const std::string component = entry.getstring(kComponentId.number, kComponentId.tag);
    for (const CNMessageBase& path : entry.getlistobject(kPathList.number, kPathList.tag))
      text += FXString::Format("%d|%u|%u|%u|%s\n", static_cast<int>(path.getint64(kArchFileId.number, kArchFileId.tag)),
                               static_cast<unsigned>(path.getuint64(kArchGroupId.number, kArchGroupId.tag)),
                               static_cast<unsigned>(path.getuint64(kArchFileFlags.number, kArchFileFlags.tag)),
                               static_cast<unsigned>(path.getuint64(kArchFileValue.number, kArchFileValue.tag)),
                               component.c_str());
  }
  CQiError error = WriteWhole(JobFilePath("IdxCarryFwd"), text, OpenMessage::kPlain);
  return error.IsError() ? error.Push(FXCODELOC) : error;
}

CQiError CPseudoSnapArchiveHandlerPrivate::LoadCarryFwdMapFromDisk() {
  EvDebug log;
  m_GuidToAfileMapVector.clear();
  const std::string path = JobFilePath("IdxCarryFwd");
  std::ifstream file(path);
  if (!file) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "open(%s) to read carry fwd info", path.c_str());
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty()) continue;
    const std::vector<std::string> fields = SplitFields(line, 5);
    if (fields.size() < 5) {
      log.Error(__FUNCTION__, "Skipping carry fwd line [%s] of [%s]: fewer than 5 fields", line.c_str(), path.c_str());
      continue;
    }
    databrowse::PathToAfileMap entryPath;
    entryPath.setstring(kPath.number, kPath.tag, "/");
    entryPath.setint64(kArchFileId.number, kArchFileId.tag, std::atoi(fields[0].c_str()));
    entryPath.setuint64(kArchGroupId.number, kArchGroupId.tag, std::strtoul(fields[1].c_str(), nullptr, 10));
    entryPath.setuint64(kArchFileFlags.number, kArchFileFlags.tag, std::strtoul(fields[2].c_str(), nullptr, 10));
    entryPath.setuint64(kArchFileValue.number, kArchFileValue.tag, std::strtoul(fields[3].c_str(), nullptr, 10));
    databrowse::ViewIdComponentIdToAfileMap entry;
    entry.setstring(kComponentId.number, kComponentId.tag, fields[4]);
    entry.addlistobject(kPathList.number, kPathList.tag, entryPath);
    m_GuidToAfileMapVector.push_back(entry);
  }
  if (file.bad()) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "read(%s) of carry fwd info failed", path.c_str());
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::SaveSnapAFilePseudoAFileMapToCache() {
  const std::string path = JobFilePath(kArchFileMapName);
  if (FXPath::DoesPathExist(path)) return CQiError();
  if (m_mSnapToPseudoArchFileMap.empty())
    return FXErrorUtil::ErrorWin32(FXCODELOC, kMapEmpty, "Snap job archive file to pseudo snap archive file map empty");
  std::string text;
  for (const auto& [snapFile, pseudoFile] : m_mSnapToPseudoArchFileMap)
    text += FXString::Format("%d|%d\n", snapFile, pseudoFile);
  CQiError error = WriteWhole(path, text, OpenMessage::kWithErrno);
  return error.IsError() ? error.Push(FXCODELOC) : error;
}

CQiError CPseudoSnapArchiveHandlerPrivate::LoadSnapAFilePseudoAFileMapFromCache() {
  EvDebug log;
  if (!m_mSnapToPseudoArchFileMap.empty()) return CQiError();
  const std::string path = JobFilePath(kArchFileMapName);
  std::ifstream file(path);
  if (!file) {
    const int code = errno != 0 ? errno : -1;
    return FXErrorUtil::ErrorErrNo(FXCODELOC, code, "Cannot open file [%s] for reading snap/pseudo archfile mapping:%d",
                                   path.c_str(), code);
  }
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty()) continue;
    const std::vector<std::string> fields = SplitFields(line, 2);
    if (fields.size() < 2) {
      log.Error(__FUNCTION__, "Skipping map line [%s] of [%s]: fewer than 2 fields", line.c_str(), path.c_str());
      continue;
    }
    const int snapFile = std::atoi(fields[0].c_str());
    const int pseudoFile = std::atoi(fields[1].c_str());
    log.Debug(__FUNCTION__, "Cache Entry [%d]<=>[%d] Map", snapFile, pseudoFile);
    m_mSnapToPseudoArchFileMap.insert({snapFile, pseudoFile});
  }
  if (file.bad())
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "read(%s) of snap/pseudo archfile mapping failed", path.c_str());
  return CQiError();
}
