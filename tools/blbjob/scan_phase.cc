#include "scan_phase.h"

#include <dirent.h>

#include <fstream>
#include <set>

#include "blocklevel/blocklevel.h"
#include "platform/jobs/job_ctrl_client.h"
#include "platform/sim/fs_util.h"
#include "platform/text/fx_string.h"
#include "scan/collect_file_manager.h"

namespace blbjob {
namespace {

// Where the command remembers the job whose scan files the directory holds.
constexpr const char* kLastJobFile = "JobCommandLastJob.txt";
constexpr const char* kTrueUpFolder = "TrueUp";

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

bool ListDirectory(const std::string& directory, std::vector<std::string>& names) {
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) return false;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  return true;
}

// The list names a volume without its trailing delimiter.
std::string ListedName(const std::string& volume) {
  return volume.size() > 1 && volume.back() == '/' ? volume.substr(0, volume.size() - 1)
         : volume == "/"                           ? std::string()
                                                   : volume;
}

// The scan's working files belong to one job. A job the directory has not
// seen starts clean, as the agent starts it: a collect or restart file left
// by another job would otherwise be resumed as this job's. A re-run of the
// same job keeps them.
CQiError ClearPreviousJobScanFiles(const std::string& directory, uint64_t jobId) {
  if (ScanFilesBelongTo(directory, jobId)) return CQiError();
  const std::string record = directory + "/" + kLastJobFile;
  std::vector<std::string> names;
  if (!ListDirectory(directory, names))
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot list [%s]", directory.c_str());
  for (const std::string& name : names) {
    const bool scanFile = StartsWith(name, CollectFileManager::kFullCollectPrefix) ||
                          StartsWith(name, CollectFileManager::kIncrCollectPrefix) ||
                          StartsWith(name, CollectFileManager::kListOfCollectFile) ||
                          StartsWith(name, CollectFileManager::kSrcSnapFile) || name == kTrueUpFolder;
    if (scanFile && !platform::RemoveTree(directory + "/" + name))
      return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot remove [%s/%s]", directory.c_str(), name.c_str());
  }
  if (!platform::WriteFileAtomically(record, std::to_string(jobId) + "\n"))
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot write [%s]", record.c_str());
  return CQiError();
}

uint64_t TotalExtents(const JobContext& context) {
  std::map<std::string, BackupDeviceInfo> records;
  if (ReadDeviceRecords(context, records).IsError()) return 0;
  uint64_t total = 0;
  for (const auto& [volume, record] : records) total += record.GetTotalExtents();
  return total;
}

}  // namespace

bool ScanFilesBelongTo(const std::string& jobResultsDir, uint64_t jobId) {
  std::string last;
  return platform::ReadWholeFile(jobResultsDir + "/" + kLastJobFile, last) && last == std::to_string(jobId) + "\n";
}

CQiError ReadListOfCollect(const std::string& jobResultsDir, std::vector<ListedCollectFile>& files) {
  const std::string path = jobResultsDir + "/" + CollectFileManager::kListOfCollectFile;
  std::ifstream list(path);
  if (!list.is_open()) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot open [%s]", path.c_str());
  std::string line;
  while (std::getline(list, line)) {
    const std::vector<FXString> fields = FXString::Split(line, '|');
    if (fields.size() != 3)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Not a line of [%s]: [%s]", path.c_str(), line.c_str());
    files.push_back({fields[0], fields[1]});
  }
  if (list.bad()) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot read [%s]", path.c_str());
  return CQiError();
}

CQiError RunScan(const JobContext& context, const ScanOptions& options, ScanSummary& summary) {
  Stopwatch clock;
  CQiError error = ClearPreviousJobScanFiles(context.jobResultsDir, context.job.GetJobId());
  if (error.IsError()) return error.Push(FXCODELOC);
  std::list<ScanObjects_t> scanObjects;
  for (const blbsim::JobVolumeRecord& volume : context.volumes) scanObjects.push_back({volume.volume, volume.snapshot});
  int streams = options.streams;
  unsigned int listed = 0;
  KZJobCtrlClient jobCtrl(context.job.GetJobId(), std::string());
  error = CreateBlkLevelCollectFiles(context.args, static_cast<int>(context.clientId), scanObjects, streams, 0,
                                     context.jobResultsDir, options.multipleReaders, options.starvation, options.trueUp,
                                     listed, &jobCtrl);
  if (error.IsError()) return error;
  std::vector<ListedCollectFile> files;
  error = ReadListOfCollect(context.jobResultsDir, files);
  if (error.IsError()) return error.Push(FXCODELOC);
  std::set<std::string> listedVolumes;
  for (const ListedCollectFile& file : files) listedVolumes.insert(file.volume);
  std::string missing;
  for (const blbsim::JobVolumeRecord& volume : context.volumes)
    if (listedVolumes.count(volume.volume) == 0 && listedVolumes.count(ListedName(volume.volume)) == 0)
      missing += (missing.empty() ? "" : ", ") + volume.volume;
  if (!missing.empty())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "The scan listed no collect files for volume(s) [%s]",
                                   missing.c_str());
  summary.seconds = clock.Seconds();
  summary.volumes = context.volumes.size();
  summary.collectFiles = files.size();
  summary.extentsTotal = TotalExtents(context);
  summary.extentsListed = listed;
  return CQiError();
}

}  // namespace blbjob
