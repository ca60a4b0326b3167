// The agent's entries into the scan and into the backup side of its output.
#include <cstdlib>
#include <memory>

#include "blocklevel/blocklevel.h"
#include "library/entry_guard.h"
#include "platform/log/ev_debug.h"
#include "scan/collect_file_manager.h"
#include "scan/true_up_handler.h"

namespace {

// The previous backup job, the source of the cumulative bitmaps: the
// argument after "-lsjid", if any.
long long PreviousJobId(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i)
    if (args[i] == "-lsjid") return i + 1 < args.size() ? std::strtoll(args[i + 1].c_str(), nullptr, 10) : 0;
  return 0;
}

// The true-up re-reads every extent the change bitmap leaves out and marks
// those whose hash the index does not hold; its bitmaps are then ORed into
// the change bitmaps, before any collect file is written.
CQiError RunTrueUp(CollectFileManager& manager, std::list<ScanObjects_t>& scanObjects, TarvosJobInfo& job, int clientId,
                   int nStreams, KZJobCtrlClient* jobCtrl) {
  CQiError err = manager.PrepareForTrueUpJob(scanObjects);
  if (err.IsError()) return err.Push(FXCODELOC);
  CTrueUpHandler trueUp(manager.GetTrueUpVolInfo(), job, static_cast<unsigned>(clientId),
                        nStreams > 0 ? static_cast<unsigned>(nStreams) : 0u, jobCtrl);
  err = trueUp.Initialize();
  if (err.IsError()) return err.Push(FXCODELOC);
  err = trueUp.Run();
  if (err.IsError()) return err.Push(FXCODELOC);
  err = manager.MergeTrueUpBitmaps(scanObjects);
  if (err.IsError()) return err.Push(FXCODELOC);
  return CQiError();
}

CQiError Scan(const std::vector<std::string>& args, int clientId, std::list<ScanObjects_t>& scanObjects, int& nStreams,
              int reserved, const std::string& jobResultsDir, bool allowMultipleReaders, int starvationFactor,
              bool trueUp, unsigned int& totalExtents, KZJobCtrlClient* jobCtrl) {
  TarvosJobInfo job(args);
  if (job.ParseArgs(false) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to parse command line arguments");
  job.SetJobResultsDir(jobResultsDir);
  // A full backup reads every extent anyway.
  if (trueUp && job.GetBackupLevel() == 1) trueUp = false;

  std::unique_ptr<CollectFileManager> manager(new CollectFileManager(job, clientId, reserved));
  manager->SetTrueUpStatus(trueUp);
  manager->SetLastJobId(PreviousJobId(job.GetArgs()));
  CQiError err = manager->InitCumBmpHelper();
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to init cumulative bmp helper");
  err = manager->FetchBitmapForVolumes(scanObjects);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to fetch volume bitmaps");
  if (trueUp) {
    err = RunTrueUp(*manager, scanObjects, job, clientId, nStreams, jobCtrl);
    if (err.IsError()) return err.Push(FXCODELOC);
  }
  err = manager->GenerateCollectFilesForPaths(scanObjects, nStreams, allowMultipleReaders, starvationFactor,
                                              totalExtents);
  if (err.IsError()) return err.Push(FXCODELOC);
  err = manager->NumberOfStreamsToBeReserved(nStreams);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

}  // namespace

extern "C" CQiError CreateBlkLevelCollectFiles(const std::vector<std::string>& args, int clientId,
                                               std::list<ScanObjects_t>& scanObjects, int& nStreams, int reserved,
                                               const std::string& jobResultsDir, bool allowMultipleReaders,
                                               int starvationFactor, bool trueUp, unsigned int& totalExtents,
                                               KZJobCtrlClient* jobCtrl) {
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&] {
    return Scan(args, clientId, scanObjects, nStreams, reserved, jobResultsDir, allowMultipleReaders, starvationFactor,
                trueUp, totalExtents, jobCtrl);
  });
}

extern "C" CollectFileManager* getCollectInstance(const std::vector<std::string>& args, int clientId, int reserved) {
  return blocklevel::GuardEntryPointValue<CollectFileManager*>(__FUNCTION__, nullptr, [&]() -> CollectFileManager* {
    TarvosJobInfo job(args);
    if (job.ParseArgs(false) != 0 || job.setJobResultsDir() != 0) return nullptr;
    return new CollectFileManager(job, clientId, reserved);
  });
}
