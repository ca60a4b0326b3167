#pragma once
// CIndexInfoReader: browses back from the backup index a path tree that an
// index-info store uploaded as a named view: the key bag, attached-file names
// and sub-paths of any key path, and the content of an attached file.
//
// Nodes are browsed lazily, one key path per browse, the first time a query
// names them, and kept for the reader's life. Initialize comes before every
// other call but SetStowhostClient and SetCopyPrecedence.
#include <list>
#include <memory>
#include <string>

#include "blocklevel/export.h"
#include "platform/bag/bag.h"
#include "platform/error/qi_error.h"

class CIndexInfoReaderPrivate;

class BLB_EXPORT CIndexInfoReader {
 public:
  CIndexInfoReader();
  virtual ~CIndexInfoReader();
  CIndexInfoReader(const CIndexInfoReader&) = delete;
  CIndexInfoReader& operator=(const CIndexInfoReader&) = delete;

  // Looks the application's ids and the job's time range up.
  CQiError Initialize(const std::string& name, long firstJobId, long jobId, int VornCellId, int subclientId,
                      long long fromTime);
  // Takes the ids it is given; the instance is the agent's focus.
  CQiError Initialize(const std::string& name, unsigned long instanceId, unsigned long backupSetId, int VornCellId,
                      unsigned long clientId, unsigned long appType, long long fromTime, long long toTime);

  void SetDelimiter(char delimiter);
  void SetViewName(const std::string& viewName);
  void SetStowhostClient(const std::string& client);
  void SetCopyPrecedence(int copyPrecedence);
  long long GetTimeFrameStart() const;
  long long GetTimeFrameEnd() const;

  // Each clears the list and succeeds; a path whose browse failed answers
  // nothing and is browsed again by the next query.
  CQiError GetKeys(const std::string& path, std::list<std::string>& keys);
  CQiError GetFiles(const std::string& path, std::list<std::string>& files);
  CQiError GetSubPaths(const std::string& path, std::list<std::string>& subPaths);
  // The node's bag when it is loaded, else empty.
  CBagPtr GetPathBag(const std::string& path);
  // Restores one attached file into outputFile; fails unless one whole file
  // was written.
  CQiError WriteFileContentForKey(const std::string& path, const std::string& fileName, const std::string& outputFile);

 private:
  std::shared_ptr<CIndexInfoReaderPrivate> m_pPrivate;
  char m_cDelimiter = '/';
};
