#include "devconfig/remote_index_handler.h"

#include <cstdlib>

#include "blocklevel/blocklevel.h"
#include "library/entry_guard.h"
#include "platform/fs/fx_file.h"
#include "platform/fs/qi_directory.h"
#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"

CBlkLvlRemoteIndexHandler::CBlkLvlRemoteIndexHandler(TarvosJobInfo& job, unsigned long referenceTime, int archFileType,
                                                     const std::list<std::string>& patterns)
    : m_oJobInfo(job),
      m_oHandler(job),
      m_nReferenceTime(referenceTime),
      m_nArchFileType(archFileType),
      m_lPatterns(patterns) {}

CQiError CBlkLvlRemoteIndexHandler::DownLoadIndexFiles() {
  EvDebug log;
  CQiError error = m_oHandler.DownloadRemoteIndexFiles(m_nArchFileType, m_lPatterns, m_nReferenceTime);
  if (error.IsError()) return error.Push(FXCODELOC);

  const std::string& directory = m_oJobInfo.GetJobResultsDir();
  CQiDirectory listing;
  error = listing.Open(directory.c_str(), "*BlockDeviceConfig.kzf", true);
  if (error.IsError()) return error.Push(FXCODELOC);
  uint64_t bestJobId = 0;
  std::string bestPath = "NO_FILE";
  for (;;) {
    SQiDirEntry entry;
    bool end = false;
    error = listing.GetEntry(entry, end);
    if (error.IsError()) return error.Push(FXCODELOC);
    if (end) break;
    const std::string name = entry.m_sName.c_str();
    log.DebugLvl(__FUNCTION__, 3, "Found file [%s]", name.c_str());
    if (name.find("BlockDeviceConfig") == std::string::npos) continue;
    const std::string::size_type underscore = name.find('_');
    if (underscore == std::string::npos) {
      log.DebugLvl(__FUNCTION__, -1, "Delimiter '_' not found in file %s to get the job id", name.c_str());
      continue;
    }
    const uint64_t jobId = static_cast<uint64_t>(std::atol(name.substr(0, underscore).c_str()));
    if (jobId > bestJobId) {
      bestJobId = jobId;
      bestPath = FXString::Format("%s/%s", directory.c_str(), name.c_str());
    }
    log.DebugLvl(__FUNCTION__, 4, "Current JobID=[%lu], CurrentFileName=[%s]", static_cast<unsigned long>(jobId),
                 bestPath.c_str());
  }
  listing.Close();
  if (bestPath == "NO_FILE") return FXErrorUtil::ErrorErrNo(FXCODELOC, 2, "No device config file found.");

  // Reading on after a failed rename would answer from whatever file of
  // that name was there before, possibly another job's.
  const std::string target = directory + "/" + KzDeviceConfigHandler::kConfigFileName;
  if (rename_utf(bestPath.c_str(), target.c_str()) != 0)
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to rename [%s] to [%s]", bestPath.c_str(), target.c_str());
  error = m_oHandler.InitRead();
  if (error.IsError()) return error.Push(FXCODELOC);
  log.DebugLvl(__FUNCTION__, 0, "Device Config file [%s] read and initialized", bestPath.c_str());
  return CQiError();
}

extern "C" CBlkLvlRemoteIndexHandler* HandleRemoteIndex(const HandleRemoteIndexArgs& args) {
  const char* const function = __FUNCTION__;
  return blocklevel::GuardEntryPointValue<CBlkLvlRemoteIndexHandler*>(
      function, nullptr, [&]() -> CBlkLvlRemoteIndexHandler* {
        EvDebug log;
        TarvosJobInfo job;
        job.SetAppId(args.appId);
        job.SetVornCellId(args.cellId);
        job.SetJobId(args.jobId);
        job.SetJobResultsDir(args.jobResultsDir);
        job.SetStowhost(args.stowhost);
        std::unique_ptr<CBlkLvlRemoteIndexHandler> handler(new CBlkLvlRemoteIndexHandler(
            job, static_cast<unsigned long>(args.referenceTime), args.archFileType, args.filePatterns));
        CQiError error = handler->DownLoadIndexFiles();
        if (error.IsError()) {
          log.DebugLvl(function, -1, "Failed to download index files, error=%s", error.AsString().c_str());
          return nullptr;
        }
        return handler.release();
      });
}
