#pragma once
// CBLBJRForJobBackupHandler: writes a block-level job's job-results folder
// into the job's archive stream, so that it can be restored later for
// troubleshooting. Each folder and file becomes one item named under a fixed
// fake root, in the index view "Troubleshooting"; nothing is sent unless the
// client uses indexing V2.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "blocklevel/export.h"
#include "platform/error/qi_error.h"
#include "platform/services/cx_file_header.h"

class KZArchive;
class KZJobCtrlClient;
class CBLBJRForJobBackupHandlerPrivate;

class BLB_EXPORT CBLBJRForJobBackupHandler {
 public:
  // May change an item's header before it is sent (item path, header).
  using PreprocessCallback = std::function<CQiError(const std::string&, CXFileHeader&)>;
  // May exclude a file (item path, skip).
  using FilterCallback = std::function<CQiError(const std::string&, bool&)>;

  // The archive and the job-control client stay the caller's and must
  // outlive the handler.
  CBLBJRForJobBackupHandler(const std::string& jobResultsFolder, const std::string& appGuid, KZArchive* archive,
                            KZJobCtrlClient* jobCtrl, unsigned long clientOsId, bool indexV2);
  virtual ~CBLBJRForJobBackupHandler();
  CBLBJRForJobBackupHandler(const CBLBJRForJobBackupHandler&) = delete;
  CBLBJRForJobBackupHandler& operator=(const CBLBJRForJobBackupHandler&) = delete;

  // Set these before Run; they stay set until replaced.
  void SetJRItemPreprocessCallback(PreprocessCallback callback);
  void SetJRItemFilterCallback(FilterCallback callback);

  // Sends the folder, its ancestors (as folders) and everything below it.
  virtual CQiError Run();

 private:
  std::shared_ptr<CBLBJRForJobBackupHandlerPrivate> m_pPrivate;
};
