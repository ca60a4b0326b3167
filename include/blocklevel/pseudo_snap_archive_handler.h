#pragma once
// CPseudoSnapArchiveHandler: turns a finished snapshot job into a
// block-level backup job. The agent makes one per job, calls Initialize,
// then CreatePseudoSnapArchive and GetCumulativeBmpMap in its own order.
//
// The handler of the application type given to Initialize does the work:
// Oracle (22, 80), PostgreSQL (125) or file systems (any other type).
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "blocklevel/export.h"
#include "platform/error/qi_error.h"
#include "platform/jobs/backup_level.h"
#include "platform/jobs/job_ctrl_client.h"

class CPseudoSnapArchiveHandlerPrivate;

class BLB_EXPORT CPseudoSnapArchiveHandler {
 public:
  CPseudoSnapArchiveHandler();
  virtual ~CPseudoSnapArchiveHandler();
  CPseudoSnapArchiveHandler(const CPseudoSnapArchiveHandler&) = delete;
  CPseudoSnapArchiveHandler& operator=(const CPseudoSnapArchiveHandler&) = delete;

  // Makes the job's handler (replacing an earlier one) and initialises it.
  // An application type of 0 is looked up, but still gets the file-system
  // handler. The job-control client stays the caller's.
  CQiError Initialize(uint32_t VornCellId, uint32_t AppId, uint32_t AppType, KZBkpLevel level, uint64_t JobId,
                      uint64_t SnapJobId, uint32_t CopyId, uint32_t SnapClientId, uint32_t ClientId,
                      const std::string& SubClientDir, const std::string& QM, const std::string& JobToken,
                      KZJobCtrlClient* jobCtrl, bool V2, bool metadataCollected);
  // Runs the job; the pseudo archive files' ids are appended to ids when
  // given. Fails with -1 before a successful Initialize.
  CQiError CreatePseudoSnapArchive(std::vector<uint32_t>* ids);
  // The cumulative bitmaps of the job's volumes, for the agent.
  CQiError GetCumulativeBmpMap(std::map<std::string, std::string>& bitmaps);
  // Whether the job's metadata goes to the RFC store (true without a handler).
  bool IsMetadataUploadedToRFC();

 private:
  std::unique_ptr<CPseudoSnapArchiveHandlerPrivate> m_pPrivate;
};
