// The cumulative correction: the previous job's cumulative bitmaps, kept as
// 7-Zip archives in its job-info container, downloaded once per scan into
// the previous-job folder and compared with each volume's data-only bitmap.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "platform/compress/c7zip.h"
#include "platform/config/kz_client.h"
#include "platform/fs/fx_file.h"
#include "platform/fs/qi_directory.h"
#include "platform/jobinfo/job_info_reader.h"
#include "platform/log/ev_debug.h"
#include "platform/services/archive_manager.h"
#include "platform/services/index_files.h"
#include "platform/text/fx_string.h"
#include "records/cumulative_bitmap_names.h"
#include "records/file_replacement.h"
#include "scan/cumulative_bitmap_helper.h"
#include "scan/cumulative_bitmap_words.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

constexpr unsigned kErrorOutOfMemory = 14;
constexpr unsigned kErrorFailed = 774;
constexpr const char* kCurrentVersion = "CumulativeV2";
constexpr const char* kCumulativeSuffix = "_CumulativeV2.bmp";

using Bitmaps = TrueUpVolInfo::VolumeBitmaps;

}  // namespace

CQiError CCumulativeBitmapHelper::MakeSureChangesInDataOnlyBlockBitmapAreReflectedInDiskBitmap(
    const std::string& volume, const std::string& componentId, uint64_t bitmapBytes,
    TrueUpVolInfo::VolumeBitmapsPtr& bitmaps) {
  EvDebug log;
  if (!m_bIndexingV2) {
    log.DebugLvl(__FUNCTION__, 0, "Not Indexing V2");
    return CQiError();
  }
  if (m_nPreviousJobId == 0) {
    log.DebugLvl(__FUNCTION__, 0, "Invalid Previous job id, jobid=%lld", m_nPreviousJobId);
    return CQiError();
  }
  if (!m_bCumulativeBitmapsFetched) {
    CQiError err = FetchCumulativeBackupBitmapsFromPreviousJob();
    if (err.IsError()) {
      err.Push(FXCODELOC, "FetchCumulativeBackupBitmapsFromPreviousJob Failed. error=[%s]", err.AsString().c_str());
      log.Error(__FUNCTION__, "%s: %s", __FUNCTION__, err.AsString().c_str());
      return err;
    }
    m_bCumulativeBitmapsFetched = true;
  }
  if (m_bNoPreviousCumulativeBitmaps) return CQiError();

  const std::string file = FXPath::Append(m_sPreviousJobFolder, componentId) + kCumulativeSuffix;
  if (!FXPath::DoesPathExist(file)) {
    CQiError err = FXErrorUtil::ErrorErrNo(
        FXCODELOC, -1, "Bitmap [%s] for volume[%s] with CompId[%s] from previous job [%lld] is missing.", file.c_str(),
        volume.c_str(), componentId.c_str(), m_nPreviousJobId);
    log.Error(__FUNCTION__, "%s", err.AsString().c_str());
    return err;
  }
  auto_ptr_array<unsigned char> previous;
  unsigned long previousBytes = 0;
  CQiError err = VolumeBitMapHelper::ReadBitMapFromFile(file, previous, previousBytes);
  if (err.IsError()) {
    err.Push(FXCODELOC, "Failed to read bitmap file[%s], error=[%s]", file.c_str(), err.AsString().c_str());
    log.Error(__FUNCTION__, "%s: %s", __FUNCTION__, err.AsString().c_str());
    return err;
  }
  log.DebugLvl(__FUNCTION__, 0, "Read bitmap from file[%s] of size[%llu]. DiskBitmp Size[%llu]", file.c_str(),
               static_cast<unsigned long long>(previousBytes), static_cast<unsigned long long>(bitmapBytes));
  unsigned char* change = bitmaps ? (*bitmaps)[Bitmaps::kChange] : nullptr;
  const unsigned char* data = bitmaps ? (*bitmaps)[Bitmaps::kDataOnly] : nullptr;
  if (change == nullptr || data == nullptr)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Bitmaps of volume[%s] are not set", volume.c_str());

  // A previous bitmap shorter than the volume's holds no extent past its end:
  // those the file system uses there are not known to be backed up.
  if (previousBytes < bitmapBytes) {
    log.Error(__FUNCTION__,
              "Bitmap [%s] of %lu bytes is shorter than the %llu of volume[%s], the extents past it count "
              "as not backed up",
              file.c_str(), previousBytes, static_cast<unsigned long long>(bitmapBytes), volume.c_str());
    auto_ptr_array<unsigned char> padded(new (std::nothrow) unsigned char[bitmapBytes]());
    if (padded.get() == nullptr)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, ENOMEM, "Failed to allocate %llu bytes for bitmap of volume[%s]",
                                     static_cast<unsigned long long>(bitmapBytes), volume.c_str());
    std::memcpy(padded.get(), previous.get(), previousBytes);
    previous.reset(padded.release());
    previousBytes = static_cast<unsigned long>(bitmapBytes);
  }
  const size_t bytes = static_cast<size_t>(std::min<uint64_t>(bitmapBytes, previousBytes));
  uint64_t added = 0;
  if (EvDebug::IsLevelEnabled(7)) {
    const char* function = __FUNCTION__;
    added = cumulative_words::AddUsedExtentsNotIn(
        change, data, previous.get(), bytes, [&log, function](size_t offset, uint64_t bits, size_t) {
          for (; bits != 0; bits &= bits - 1)
            log.DebugLvl(function, 7, "Setting bit [%lld]", static_cast<long long>(offset * 8 + __builtin_ctzll(bits)));
        });
  } else {
    added = cumulative_words::AddUsedExtentsNotInQuietly(change, data, previous.get(), bytes);
  }
  log.DebugLvl(__FUNCTION__, 0,
               "Found [%llu] Extents which have changed exclusively in the Cumulative bitmap for volume[%s] CompId[%s]",
               static_cast<unsigned long long>(added), volume.c_str(), componentId.c_str());
  return CQiError();
}

CQiError CCumulativeBitmapHelper::FetchCumulativeBackupBitmapsFromPreviousJob() {
  EvDebug log;
  std::string stowhostClientName;
  unsigned long fromTime = 0, toTime = 0;
  CQiError err = GetStowhostNameAndBackupTimeForSnapJob(stowhostClientName, fromTime, toTime);
  if (err.IsError()) {
    err.Push(FXCODELOC, "Failed to get QM and timeStamp details for snap job[%lld]", m_nPreviousJobId);
    log.Error(__FUNCTION__, "%s", err.AsString().c_str());
    return err;
  }
  if (!FXPath::DoesPathExist(m_sPreviousJobFolder)) {
    err = CQiDirectory::Create(m_sPreviousJobFolder.c_str(), false);
    if (err.IsError()) {
      err.Push(FXCODELOC, "Failed to create directory[%s]", m_sPreviousJobFolder.c_str());
      log.Error(__FUNCTION__, "%s", err.AsString().c_str());
      return err;
    }
  }
  bool found = false;
  err = DownloadBitmapsFromCumulativeContainer(found, stowhostClientName, fromTime, toTime);
  if (err.IsError()) {
    err.Push(FXCODELOC, "DownloadBitmapsFromCumulativeContainer for job[%lld] failed. Error[%s]", m_nPreviousJobId,
             err.AsString().c_str());
    log.Error(__FUNCTION__, "%s", err.AsString().c_str());
    return err;
  }
  if (!found) {
    log.DebugLvl(__FUNCTION__, 0, "No files found under BlockLevelCumulativeBM container for jobID[%lld]",
                 m_nPreviousJobId);
    m_bNoPreviousCumulativeBitmaps = true;
  }
  return CQiError();
}

CQiError CCumulativeBitmapHelper::GetStowhostNameAndBackupTimeForSnapJob(std::string& stowhostClientName,
                                                                         unsigned long& fromTime,
                                                                         unsigned long& toTime) {
  GetArchFileInfoForSnapJob_ArgsCC_t request;
  request.jobId = m_oJobInfo.GetJobId();
  request.appOrClientId = m_nAppId;
  request.cellId = m_nVornCellId;
  request.snapJobId = static_cast<uint64_t>(m_nPreviousJobId);
  GetArchFileInfoForSnapJob_Ret_t reply;
  ArMgrClientAPI archiveManager;
  const int result = archiveManager.getArchFileListForSnapshotJob(&request, &reply);
  if (result != 0) {
    // Where the service said why (its state database full: the file and
    // the cause), the failure is that; its code alone tells nothing more.
    CQiError told = archiveManager.LastFailure();
    if (told.IsError())
      return told.Push(FXCODELOC, "Failed to retreive arch file list for SnapJob=[%lld]", m_nPreviousJobId);
    return FXErrorUtil::ErrorErrNo(FXCODELOC, result, "Failed to retreive arch file list for SnapJob=[%lld]",
                                   m_nPreviousJobId);
  }
  if (reply.archFiles.empty())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "No arch files returned for SnapJob=[%lld]", m_nPreviousJobId);
  if (reply.storageHostName.empty())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Empty Stowhost hostname returned for SnapJob=[%lld]",
                                   m_nPreviousJobId);
  stowhostClientName = KZClient(m_nVornCellId, reply.storageHostName, true, 0).getName();
  EvDebug log;
  fromTime = std::numeric_limits<unsigned long>::max();
  toTime = 0;
  for (const ArchFileInfo_t& file : reply.archFiles) {
    log.DebugLvl(__FUNCTION__, 3, "fileType:%lu createTime:%ld", static_cast<unsigned long>(file.archFileType),
                 static_cast<long>(file.createTime));
    fromTime = std::min<unsigned long>(fromTime, file.createTime);
    toTime = std::max<unsigned long>(toTime, file.createTime);
  }
  log.DebugLvl(__FUNCTION__, 0, "sStowhostClientName[%s] fromTime[%lu] toTime[%lu]", stowhostClientName.c_str(),
               fromTime, toTime);
  return CQiError();
}

CQiError CCumulativeBitmapHelper::DownloadBitmapsFromCumulativeContainer(bool& found, std::string& stowhostClientName,
                                                                         unsigned long& fromTime, unsigned long&) {
  found = false;
  EvDebug log;
  // The metadata service takes the time as 32 bits.
  std::unique_ptr<CJobInfoMetadataReaderManager> manager(new (std::nothrow) CJobInfoMetadataReaderManager(
      stowhostClientName, m_oJobInfo.GetJobId(), static_cast<uint64_t>(m_nPreviousJobId), m_nVornCellId, m_nAppId,
      static_cast<uint32_t>(fromTime), 0));
  if (!manager) return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorOutOfMemory);
  std::list<std::string> names;
  CQiError err = manager->DownloadFiles(kCumulativeFolder, names, m_sPreviousJobFolder, 0);
  if (err.IsError())
    return err.Push(FXCODELOC, "Failed to get list of files within container=[%s], error=[%s]", kCumulativeFolder,
                    err.AsString().c_str());
  // Only what the upload would have chosen: anything else is no bitmap to
  // extract.
  const char* const function = __FUNCTION__;
  names.remove_if([&log, function](const std::string& name) {
    if (records::IsCumulativeBitmapName(name)) return false;
    log.DebugLvl(function, 0, "Skipping [%s], not a cumulative bitmap", name.c_str());
    return true;
  });
  if (names.empty()) {
    log.DebugLvl(__FUNCTION__, 0, "Looks like container[%s] is either not present OR has no files", kCumulativeFolder);
    return CQiError();
  }
  log.DebugLvl(__FUNCTION__, 0, "%lu cumulative bitmaps are available", static_cast<unsigned long>(names.size()));
  for (const std::string& name : names) {
    log.DebugLvl(__FUNCTION__, 0, "Validating cumulative bitmap %s version", name.c_str());
    if (FXString(name).FindNoCase(kCurrentVersion) != std::string::npos) {
      found = true;
      break;
    }
  }
  if (!found) {
    log.DebugLvl(__FUNCTION__, 0, "Latest version(%s) of cumulative bitmaps are not available", kCurrentVersion);
    return CQiError();
  }
  // The names come from the metadata service and are joined to a folder of
  // the job-results directory: one that is not a plain file name could
  // write anywhere, so the download stops before anything is written.
  for (const std::string& name : names)
    if (!platform::IsPlainName(name))
      return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed,
                                     "Container [%s] of job [%lld] holds [%s], which is not a plain file name",
                                     kCumulativeFolder, m_nPreviousJobId, name.c_str());

  CJobInfoMetadataReaderPtr reader = manager->GetActiveMetadataReader();
  if (!reader) return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorOutOfMemory);
  C7zip zip(KZPI_Base::getHomeDirectory().value_or(std::string()), C7zip::kFormat7z);
  zip.Initialize();
  // Every listed archive is extracted, the older versions' too.
  for (const std::string& name : names) {
    const std::string destination = FXPath::Append(m_sPreviousJobFolder, name);
    err = reader->WriteFileToPath(kCumulativeFolder, name, destination);
    if (err.IsError()) return err.Push(FXCODELOC);
    err = zip.ExtractFilesFromArchive(destination, m_sPreviousJobFolder);
    if (err.IsError()) return err.Push(FXCODELOC);
    err = FXFile::RemoveFile(destination.c_str());
    if (err.IsError()) return err.Push(FXCODELOC);
  }
  err = records::SyncFolder(m_sPreviousJobFolder);
  if (err.IsError()) return err.Push(FXCODELOC);
  return CQiError();
}
