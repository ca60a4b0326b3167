#include "backup_phase.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>

#include "blocklevel/blocklevel.h"
#include "platform/indexing/index_extent_view.h"
#include "platform/sim/fs_util.h"
#include "platform/sim/state_db_failure.h"
#include "platform/text/fx_string.h"
#include "scan/collect_file_manager.h"
#include "scan/kz_device_reader_unix.h"
#include "scan/true_up_vol_info.h"
#include "scan/volume_reader_for_backup.h"
#include "scan_phase.h"

namespace blbjob {
namespace {

struct VolumeSource {
  std::string snapshot;
  BackupDeviceInfo record;
  boost::shared_ptr<KzDeviceReader> reader;
};

struct HashLine {
  std::string volume;
  unsigned long long extent;
  std::string hash;
  std::string text;
  bool operator<(const HashLine& other) const {
    return std::tie(volume, extent) < std::tie(other.volume, other.extent);
  }
};

// "|volume|snapshot device|" per volume the scan made collect files for.
CQiError ReadSnapshotList(const std::string& jobResultsDir, std::map<std::string, std::string>& snapshots) {
  const std::string path = jobResultsDir + "/" + CollectFileManager::kSrcSnapFile;
  std::ifstream list(path);
  if (!list.is_open()) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot open [%s]", path.c_str());
  std::string line;
  while (std::getline(list, line)) {
    const std::vector<FXString> fields = FXString::Split(line, '|');
    if (fields.size() < 3 || !fields[0].empty())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Not a line of [%s]: [%s]", path.c_str(), line.c_str());
    snapshots[fields[1]] = fields[2];
  }
  return CQiError();
}

uint64_t CountLines(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  uint64_t lines = 0;
  std::string line;
  while (std::getline(file, line)) lines += !line.empty();
  return lines;
}

// The stream threads of one backup: what they share, and the first failure.
class Streams {
 public:
  Streams(CollectFileManager& manager, const std::list<std::string>& volumes,
          std::map<std::string, VolumeSource>& sources, const BackupOptions& options, Progress& progress,
          uint64_t total)
      : manager_(manager),
        volumes_(volumes),
        sources_(sources),
        options_(options),
        progress_(progress),
        total_(total) {}

  CQiError Run(std::vector<HashLine>& lines) {
    std::vector<std::thread> threads;
    for (int i = 0; i < options_.streams; ++i) threads.emplace_back([this] { Stream(); });
    for (std::thread& thread : threads) thread.join();
    progress_.Finish(done_, total_, bytes_);
    lines = std::move(lines_);
    return failure_;
  }
  uint64_t Done() const { return done_; }
  uint64_t Bytes() const { return bytes_; }

 private:
  // The next collect file not handed out, volume by volume; false when none
  // is left or a stream failed.
  bool Take(std::string& volume, std::string& collectFile) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (failure_.IsError()) return false;
    int id = 0;
    for (const std::string& candidate : volumes_) {
      if (manager_.GetNextCollectForVolume(candidate, collectFile, id) == 1) {
        volume = candidate;
        return true;
      }
    }
    return false;
  }

  void Fail(const CQiError& error) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!failure_.IsError()) failure_ = error;
    for (CVolumeReaderForBackup* reader : active_) reader->Stop();
  }

  void Stream() {
    std::string volume, collectFile;
    while (Take(volume, collectFile)) {
      CQiError error = Drain(volume, collectFile);
      if (error.IsError())
        Fail(error.Push(FXCODELOC, "Collect file [%s] of volume [%s]", collectFile.c_str(), volume.c_str()));
    }
  }

  CQiError Drain(const std::string& volume, const std::string& collectFile) {
    auto source = sources_.find(volume);
    if (source == sources_.end())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "No snapshot listed for volume [%s]", volume.c_str());
    CVolumeReaderForBackup reader;
    CVolumeReaderForBackup::DeviceInfo info;
    info.sSnapDevice = source->second.snapshot;
    info.oDeviceInfo = source->second.record;
    info.pDeviceReader = source->second.reader;
    info.eHashMode = options_.mode;
    info.sCollectFile = collectFile;
    info.nReadAheadCount = options_.readAhead;
    CQiError error = options_.readAhead > 0 ? reader.Initialize3(info, 0) : reader.Initialize2(info);
    if (error.IsError()) return error;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (failure_.IsError()) return CQiError();
      active_.push_back(&reader);
    }
    const uint64_t extentSize = info.oDeviceInfo.GetExtentSize();
    const uint64_t diskSize = info.oDeviceInfo.GetDiskSize();
    std::vector<HashLine> read;
    for (;;) {
      ExtentHashItem* item = nullptr;
      error = reader.GetNextExtent(item);
      if (error.IsError() || item == nullptr) break;
      std::unique_ptr<ExtentHashItem> owned(item);
      const unsigned long long extent = owned->GetExtentId();
      read.push_back({volume, extent, owned->GetExtentHash(),
                      volume + "|" + owned->GetExtentName() + "|" + owned->GetExtentHash()});
      const uint64_t start = extent * extentSize;
      const uint64_t length = start < diskSize ? std::min(extentSize, diskSize - start) : 0;
      bytes_ += length;
      progress_.Update(++done_, total_, bytes_);
    }
    std::lock_guard<std::mutex> hold(mutex_);
    active_.erase(std::find(active_.begin(), active_.end(), &reader));
    lines_.insert(lines_.end(), read.begin(), read.end());
    return error;
  }

  CollectFileManager& manager_;
  const std::list<std::string>& volumes_;
  std::map<std::string, VolumeSource>& sources_;
  const BackupOptions& options_;
  Progress& progress_;
  const uint64_t total_;
  std::atomic<uint64_t> done_{0};
  std::atomic<uint64_t> bytes_{0};
  std::mutex mutex_;
  std::vector<CVolumeReaderForBackup*> active_;
  std::vector<HashLine> lines_;
  CQiError failure_;
};

// Each listed volume's snapshot, opened once and shared by its streams.
CQiError OpenSources(const JobContext& context, const std::list<std::string>& volumes,
                     std::map<std::string, VolumeSource>& sources) {
  std::map<std::string, std::string> snapshots;
  CQiError error = ReadSnapshotList(context.jobResultsDir, snapshots);
  if (error.IsError()) return error.Push(FXCODELOC);
  std::map<std::string, BackupDeviceInfo> records;
  error = ReadDeviceRecords(context, records);
  if (error.IsError()) return error.Push(FXCODELOC);
  for (const std::string& volume : volumes) {
    auto snapshot = snapshots.find(volume);
    auto record = records.find(volume);
    if (snapshot == snapshots.end() || record == records.end())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Volume [%s] of the collect list has no snapshot or record",
                                     volume.c_str());
    VolumeSource& source = sources[volume];
    source.snapshot = snapshot->second;
    source.record = record->second;
    TarvosJobInfo job = context.job;
    source.reader.reset(new KzDeviceReaderUnix(job));
    error = source.reader->InitDevice(source.snapshot, source.record);
    if (error.IsError()) return error.Push(FXCODELOC);
  }
  return CQiError();
}

CQiError WriteHashFile(uint64_t jobId, std::vector<HashLine>& lines) {
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const HashLine& line : lines) text += line.text + "\n";
  const std::string path = HashFilePath(jobId);
  if (!platform::MakeDirectoriesDurably(ReportFolder(jobId)) || !platform::WriteFileAtomically(path, text))
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot write [%s]", path.c_str());
  return CQiError();
}

// Whether the job read the volume whole: a full job, or a volume the
// snapshot task forced full. A job it turned into a full backup because of
// another volume still reads this one's changes only.
bool ReadWhole(const JobContext& context, const std::string& volume) {
  if (context.command.job.GetBackupLevel() == 1) return true;
  for (const blbsim::JobVolumeRecord& record : context.volumes)
    if (record.volume == volume) return record.forceFull;
  return context.full;
}

// What the index holds of each volume after the backup, as the agent's
// index would: the hashes of the extents read, under the volume's name as a
// later true-up browses it. A volume read whole has those extents as its
// view; otherwise they replace their own. The lines are sorted.
CQiError RecordExtentViews(const JobContext& context, const std::map<std::string, VolumeSource>& sources,
                           const std::vector<HashLine>& lines) {
  for (size_t first = 0; first < lines.size();) {
    size_t end = first;
    platform::IndexExtentViewRows rows;
    for (; end < lines.size() && lines[end].volume == lines[first].volume; ++end)
      rows.emplace_back(lines[end].extent, lines[end].hash);
    const auto source = sources.find(lines[first].volume);
    if (source == sources.end())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "No snapshot listed for volume [%s]", lines[first].volume.c_str());
    const TrueUpVolInfo volume(source->second.snapshot, source->second.record, TrueUpVolInfo::VolumeBitmapsPtr());
    const platform::IndexExtentViewKey key{context.job.GetVornCellId(), context.job.GetAppId(), volume.GetVolume()};
    const platform::StateDbResult recorded = ReadWhole(context, lines[first].volume)
                                                 ? platform::PutIndexExtentView(key, rows)
                                                 : platform::UpdateIndexExtentView(key, rows);
    if (!recorded)
      return platform::StateDbFailure(FXCODELOC, recorded, "Cannot record the extent view of volume [%s] in the index",
                                      key.volume.c_str());
    first = end;
  }
  return CQiError();
}

}  // namespace

CQiError RunBackup(const JobContext& context, const BackupOptions& options, Progress& progress,
                   BackupSummary& summary) {
  Stopwatch clock;
  // Another job's lists would name its extents and its snapshots.
  if (!ScanFilesBelongTo(context.jobResultsDir, context.job.GetJobId()))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "The collect files in [%s] are not job [%llu]'s: run its scan first",
                                   context.jobResultsDir.c_str(),
                                   static_cast<unsigned long long>(context.job.GetJobId()));
  std::unique_ptr<CollectFileManager> manager(getCollectInstance(context.args, static_cast<int>(context.clientId), 0));
  if (!manager) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "getCollectInstance gave no collect-file manager");
  std::list<std::string> volumes;
  CQiError error = manager->ReadCollectFilesFromDisk(volumes);
  if (error.IsError()) return error;
  std::map<std::string, VolumeSource> sources;
  error = OpenSources(context, volumes, sources);
  if (error.IsError()) return error;
  std::vector<ListedCollectFile> files;
  error = ReadListOfCollect(context.jobResultsDir, files);
  if (error.IsError()) return error.Push(FXCODELOC);
  uint64_t total = 0;
  for (const ListedCollectFile& file : files) total += CountLines(file.path);

  Streams streams(*manager, volumes, sources, options, progress, total);
  std::vector<HashLine> lines;
  error = streams.Run(lines);
  for (auto& [volume, source] : sources) source.reader->CloseDevice();
  if (error.IsError()) return error;
  error = WriteHashFile(context.job.GetJobId(), lines);
  if (error.IsError()) return error;
  error = RecordExtentViews(context, sources, lines);
  if (error.IsError()) return error;
  summary.seconds = clock.Seconds();
  summary.streams = options.streams;
  summary.extentsRead = streams.Done();
  summary.bytes = streams.Bytes();
  return CQiError();
}

}  // namespace blbjob
