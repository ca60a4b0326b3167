#include "blocklevel/index_info_reader.h"

#include <new>

#include "indexinfo/index_info_reader_private.h"
#include "library/entry_guard.h"
#include "platform/log/ev_debug.h"

namespace {

// A new implementation object for Initialize; 14 when it cannot be made.
CQiError MakePrivate(std::shared_ptr<CIndexInfoReaderPrivate>& made) {
  try {
    made = std::make_shared<CIndexInfoReaderPrivate>();
  } catch (const std::bad_alloc&) {
    return FXErrorUtil::ErrorWin32(FXCODELOC, 14);
  }
  return CQiError();
}

// Replaces the reader's implementation object with a new one that the given
// step initialises. A reader whose Initialize failed answers as one never
// initialised: its half-looked-up ids (or an earlier job's) must not reach a
// browse.
template <class Step>
CQiError InitializeAnew(std::shared_ptr<CIndexInfoReaderPrivate>& current, char& delimiter, Step&& initialize) {
  std::shared_ptr<CIndexInfoReaderPrivate> made;
  CQiError error = MakePrivate(made);
  if (error.IsError()) return error.Push(FXCODELOC);
  current.reset();
  delimiter = '/';
  error = initialize(*made);
  if (error.IsError()) return error.Push(FXCODELOC);
  current = made;
  return CQiError();
}

}  // namespace

CIndexInfoReader::CIndexInfoReader() = default;

CIndexInfoReader::~CIndexInfoReader() = default;

CQiError CIndexInfoReader::Initialize(const std::string& name, long firstJobId, long jobId, int VornCellId,
                                      int subclientId, long long fromTime) {
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&] {
    return InitializeAnew(m_pPrivate, m_cDelimiter, [&](CIndexInfoReaderPrivate& made) {
      return made.InitializeFromJob(name, firstJobId, jobId, VornCellId, subclientId, fromTime);
    });
  });
}

CQiError CIndexInfoReader::Initialize(const std::string& name, unsigned long /*instanceId*/, unsigned long backupSetId,
                                      int VornCellId, unsigned long clientId, unsigned long appType, long long fromTime,
                                      long long toTime) {
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&] {
    return InitializeAnew(m_pPrivate, m_cDelimiter, [&](CIndexInfoReaderPrivate& made) {
      return made.InitializeWithIds(name, backupSetId, VornCellId, clientId, appType, fromTime, toTime);
    });
  });
}

void CIndexInfoReader::SetDelimiter(char delimiter) {
  m_cDelimiter = delimiter;
  if (m_pPrivate) m_pPrivate->m_cDelimiter = delimiter;
}

void CIndexInfoReader::SetViewName(const std::string& viewName) {
  if (m_pPrivate) m_pPrivate->m_sViewName = viewName;
}

void CIndexInfoReader::SetStowhostClient(const std::string& client) {
  if (m_pPrivate) m_pPrivate->m_sStowhostClient = client;
}

void CIndexInfoReader::SetCopyPrecedence(int copyPrecedence) {
  if (m_pPrivate) m_pPrivate->m_nCopyPrecedence = copyPrecedence;
}

long long CIndexInfoReader::GetTimeFrameStart() const {
  return m_pPrivate ? m_pPrivate->m_llFromTime : 0;
}

long long CIndexInfoReader::GetTimeFrameEnd() const {
  return m_pPrivate ? m_pPrivate->m_llToTime : 0;
}

// The queries browse the index: a closed call's exception stops at each.
CQiError CIndexInfoReader::GetKeys(const std::string& path, std::list<std::string>& keys) {
  keys.clear();
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&]() -> CQiError {
    if (!m_pPrivate) return CQiError();
    CIndexInfoPathPtr node = m_pPrivate->IndexInfoPath(path);
    if (node->IsLoaded()) node->GetKeys(keys);
    return CQiError();
  });
}

CQiError CIndexInfoReader::GetFiles(const std::string& path, std::list<std::string>& files) {
  files.clear();
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&]() -> CQiError {
    if (!m_pPrivate) return CQiError();
    CIndexInfoPathPtr node = m_pPrivate->IndexInfoPath(path);
    if (node->IsLoaded()) node->GetFiles(files);
    return CQiError();
  });
}

CQiError CIndexInfoReader::GetSubPaths(const std::string& path, std::list<std::string>& subPaths) {
  subPaths.clear();
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&]() -> CQiError {
    if (!m_pPrivate) return CQiError();
    m_pPrivate->IndexInfoPath(path)->GetSubPaths(subPaths);
    return CQiError();
  });
}

CBagPtr CIndexInfoReader::GetPathBag(const std::string& path) {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 3, "request for ptrIdxPath '%s'", path.c_str());
  return blocklevel::GuardEntryPointValue(__FUNCTION__, CBagPtr(), [&]() -> CBagPtr {
    if (!m_pPrivate) return CBagPtr();
    CIndexInfoPathPtr node = m_pPrivate->IndexInfoPath(path);
    return node->IsLoaded() ? node->GetBag() : CBagPtr();
  });
}

CQiError CIndexInfoReader::WriteFileContentForKey(const std::string& path, const std::string& fileName,
                                                  const std::string& outputFile) {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 3, "request for file '%s' in ptrIdxPath '%s' to write into '%s'", fileName.c_str(),
               path.c_str(), outputFile.c_str());
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&]() -> CQiError {
    if (!m_pPrivate)
      return FXErrorUtil::ErrorWin32(
          FXCODELOC, 13, "Index info reader is not initialized: no file restored for path '%s'", path.c_str());
    CIndexInfoPathPtr node = m_pPrivate->IndexInfoPath(path);
    if (!node) return FXErrorUtil::ErrorWin32(FXCODELOC, 13, "can't create ptrIdxPath for path '%s'", path.c_str());
    if (!node->IsLoaded())
      return FXErrorUtil::ErrorWin32(FXCODELOC, 13, "ptrIdxPath for path '%s' can't be loaded", path.c_str());
    const std::string itemPath = indexinfo::JoinItemPath(path, m_cDelimiter, fileName);
    CQiError error = m_pPrivate->LoadFile(itemPath, outputFile);
    if (error.IsError()) return error.Push(FXCODELOC);
    return CQiError();
  });
}
