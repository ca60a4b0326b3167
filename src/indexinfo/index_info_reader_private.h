#pragma once
// The index-info reader's state and browses: the ids of every browse's
// entity, its time range, and the tree of nodes browsed so far.
#include <cstdint>
#include <string>

#include "indexinfo/index_info_path.h"
#include "platform/error/qi_error.h"
#include "platform/messages/service_messages.h"

class CIndexInfoReaderPrivate {
 public:
  CIndexInfoReaderPrivate();

  CQiError InitializeFromJob(const std::string& name, long firstJobId, long jobId, int VornCellId, int subclientId,
                             long long fromTime);
  CQiError InitializeWithIds(const std::string& name, unsigned long backupSetId, int VornCellId, unsigned long clientId,
                             unsigned long appType, long long fromTime, long long toTime);

  // The path's node, browsed when it is not loaded yet; never null.
  CIndexInfoPathPtr IndexInfoPath(const std::string& path);
  CQiError LoadIdxPath(const CIndexInfoPathPtr& node, const std::string& path);
  CQiError LoadFile(const std::string& itemPath, const std::string& outputFile);

  std::string m_sName;
  uint64_t m_nFirstJobId = 0;
  uint64_t m_nJobId = 0;
  uint64_t m_nVornCellId = 0;
  uint64_t m_nSubclientId = 0;
  uint64_t m_nClientId = 0;
  uint64_t m_nInstanceId = 0;
  uint64_t m_nBackupSetId = 0;
  uint64_t m_nAppType = 0;
  long long m_llFromTime = 0;
  long long m_llToTime = 0;
  char m_cDelimiter = '/';
  std::string m_sViewName;
  int m_nCopyPrecedence = -1;
  std::string m_sStowhostClient;
  CIndexInfoPathPtr m_root;

 private:
  void TakeFocusInstance();
  CQiError LookUpApplication();
  CQiError LookUpTimeRange();
  // The request of one browse: 0 for a path, 1 for a file.
  databrowse::BrowseRequest MakeRequest(int64_t requestType, const std::string& browsePath) const;
  std::string BrowsePathOf(const std::string& path) const;
  std::string WorkerIdFor(const std::string& path) const;
};
