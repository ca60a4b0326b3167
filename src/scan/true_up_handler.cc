#include "scan/true_up_handler.h"

#include <chrono>
#include <new>
#include <thread>

#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"
#include "platform/text/fx_string.h"
#include "platform/time/sleep.h"
#include "records/durable_files.h"
#include "records/file_replacement.h"
#include "scan/checked_file_writer.h"
#include "scan/index_info_true_up.h"
#include "scan/snap_read_manager.h"
#include "scan/snap_read_worker.h"
#include "scan/volume_true_up_handler.h"
#include "tracking/bitmap_words.h"

namespace {

constexpr unsigned kErrorNoMemory = 14;
constexpr long long kPollMilliseconds = 10000;
// However small the sleep factor makes the poll period, the driver never
// spins against its own readers.
constexpr auto kLeastPoll = std::chrono::milliseconds(2);
constexpr const char* kSection = "FileSystemAgent";
constexpr unsigned kBitsPerLogLine = 100;
// Each reader is a thread with a piece of every volume's bitmap: past this
// many they only contend for the same disks, and a count taken from the
// caller's stream number (any int) must not make billions of pieces.
constexpr unsigned kMostReaders = 256;

const char* ModeName(DeviceHashComputeMode mode) {
  switch (mode) {
    case HC_NO_THREAD:
      return "HC_NO_THREAD";
    case HC_SINGLE_THREAD:
      return "HC_SINGLE_THREAD";
    default:
      return "HC_READ_AND_HASH_THREADS";
  }
}

CQiError NoThread() {
  return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorNoMemory);
}

// Stops and joins every thread of the manager when the run leaves, however
// it leaves.
class StopWorkersOnExit {
 public:
  explicit StopWorkersOnExit(const boost::shared_ptr<CSnapReadManager>& manager) : m_pManager(manager) {}
  ~StopWorkersOnExit() { m_pManager->StopAllWorkers(true); }
  StopWorkersOnExit(const StopWorkersOnExit&) = delete;
  StopWorkersOnExit& operator=(const StopWorkersOnExit&) = delete;

 private:
  boost::shared_ptr<CSnapReadManager> m_pManager;
};

}  // namespace

CTrueUpHandler::CTrueUpHandler(std::vector<TrueUpVolInfo>& volumes, TarvosJobInfo& job, unsigned int clientId,
                               unsigned int streams, KZJobCtrlClient* jobCtrl)
    : m_sJobResultsDir(job.GetJobResultsDir()),
      m_nClientId(clientId),
      m_nReaderCount(streams),
      m_oJobInfo(job),
      m_pJobCtrl(jobCtrl),
      m_vVolumes(volumes) {}

CTrueUpHandler::~CTrueUpHandler() = default;

CQiError CTrueUpHandler::Initialize() {
  m_sTrueUpFolder = FXPath::Append(m_sJobResultsDir, kTrueUpFolder);
  // A rerun of the job resumes from what the folder holds.
  CQiError err = records::CreateFolderDurably(m_sTrueUpFolder, true);
  if (err.IsError()) return err.Push(FXCODELOC);
  ReadSettings();
  err = Prepare();
  if (err.IsError()) return err.Push(FXCODELOC);
  return CQiError();
}

void CTrueUpHandler::ReadSettings() {
  EvDebug log;
  unsigned value = 0;
  if (KZPlatformInfo::getNumber(kSection, "nBlockLevelTrueUpScanReaders", &value) != 0) {
    log.DebugLvl(__FUNCTION__, 0, "User have set regkey to have [%lu] Reader streams for TrueUp",
                 static_cast<unsigned long>(value));
    m_nReaderCount = value < 2 ? 2 : value;
  }
  if (m_nReaderCount == 0) {
    // The count divides each volume's bitmap into pieces.
    log.DebugLvl(__FUNCTION__, 0, "No Reader streams given for TrueUp, using [1]");
    m_nReaderCount = 1;
  }
  if (m_nReaderCount > kMostReaders) {
    log.DebugLvl(__FUNCTION__, 0, "[%u] Reader streams asked for TrueUp, using [%u]", m_nReaderCount, kMostReaders);
    m_nReaderCount = kMostReaders;
  }
  if (KZPlatformInfo::getNumber(kSection, "nBlockLevelTrueUpReaderMode", &value) != 0) {
    m_eReaderMode = value == 0 ? HC_NO_THREAD : value == 1 ? HC_SINGLE_THREAD : HC_READ_AND_HASH_THREADS;
    log.DebugLvl(__FUNCTION__, 0, "User have set regkey to have Snap reader mode[%s] for TrueUp",
                 ModeName(m_eReaderMode));
  }
  if (KZPlatformInfo::getNumber(kSection, "nBlockLevelTrueUpReaderCacheLength", &value) != 0) {
    m_nReaderCacheLength = value;
    log.DebugLvl(__FUNCTION__, 0, "User have set regkey to have Snap reader cache size[%lu] for TrueUp",
                 static_cast<unsigned long>(value));
  }
  if (KZPlatformInfo::getNumber(kSection, "nBlockLevelTrueUpIdxPageSize", &value) != 0) {
    m_nIdxPageSize = value;
    log.DebugLvl(__FUNCTION__, 0, "User have set regkey to have Index Page Size as [%lu]",
                 static_cast<unsigned long>(value));
  }
  if (KZPlatformInfo::getNumber(kSection, "nBlockLevelTrueUpDisableDataBlocks", &value) != 0 && value == 1) {
    m_bDataBmpDisabled = true;
    log.DebugLvl(__FUNCTION__, 0, "User have set regkey to Disable DataOnly blocks for TrueUp job");
  }
  if (KZPlatformInfo::getNumber(kSection, "nBlockLevelTrueUpInspectBitmaps", &value) != 0 && value == 1) {
    m_bInspectBitmaps = true;
    log.DebugLvl(__FUNCTION__, 0, "User have set regkey to Inspect various bitmaps");
  }
}

CQiError CTrueUpHandler::Prepare() {
  if (m_bInspectBitmaps) InspectBitMaps(false);
  return CQiError();
}

CQiError CTrueUpHandler::Run() {
  // The units point into the handlers' pieces: the handlers outlive the
  // threads, which RunThreads has stopped and joined when it returns.
  std::vector<boost::shared_ptr<CVolumeTrueUpHandler>> handlers;
  m_lIndexWork.clear();
  m_mVolumeToCollects.clear();
  for (TrueUpVolInfo& volume : m_vVolumes) {
    boost::shared_ptr<CVolumeTrueUpHandler> handler(new (std::nothrow)
                                                        CVolumeTrueUpHandler(volume, m_sTrueUpFolder, m_nReaderCount));
    if (!handler) return NoThread();
    CQiError err = handler->Initialize();
    if (err.IsError()) return err.Push(FXCODELOC);
    err = DoPreTaskForVolume(handler);
    if (err.IsError()) return err.Push(FXCODELOC);
    handlers.push_back(handler);
    m_lIndexWork.emplace_back(handler->GetVolume(), handler->GetVolTrueUpFolder());
  }
  // The volume folders the handlers made, all at once: the index thread's
  // restart information will name what they hold.
  CQiError synced = records::SyncFolder(m_sTrueUpFolder);
  if (synced.IsError()) return synced.Push(FXCODELOC);

  std::list<CollectInfo> collects;
  for (const auto& entry : m_mVolumeToCollects)
    collects.insert(collects.end(), entry.second.begin(), entry.second.end());
  boost::shared_ptr<CSnapReadManager> manager(
      new (std::nothrow) CSnapReadManager(static_cast<int>(m_nReaderCount), collects, m_lIndexWork, m_pJobCtrl));
  if (!manager) return NoThread();
  CQiError err = RunThreads(manager);
  // The threads hold the manager weakly: releasing it frees them all.
  manager.reset();
  if (err.IsError()) return err;

  for (const boost::shared_ptr<CVolumeTrueUpHandler>& handler : handlers) {
    err = DoPostTaskForVolume(handler);
    if (err.IsError()) return err.Push(FXCODELOC);
  }
  return Finalize();
}

CQiError CTrueUpHandler::RunThreads(const boost::shared_ptr<CSnapReadManager>& manager) {
  EvDebug log;
  StopWorkersOnExit stopOnExit(manager);
  boost::shared_ptr<CIndexInfoTrueUp> index(
      new (std::nothrow) CIndexInfoTrueUp(manager, m_oJobInfo, m_sTrueUpFolder, m_nClientId, m_nIdxPageSize));
  if (!index) return NoThread();
  manager->SetIdxQueryWorker(index);
  if (!index->Start()) return NoThread();
  for (unsigned int i = 0; i < m_nReaderCount; ++i) {
    boost::shared_ptr<CSnapReadWorker> reader(
        new (std::nothrow) CSnapReadWorker(manager, m_vVolumes, m_oJobInfo, m_eReaderMode, m_nReaderCacheLength));
    if (!reader) return NoThread();
    manager->AddSnapReadHashWorker(reader);
    log.DebugLvl(__FUNCTION__, 3, "Starting TrueUp reader thread [%u] of [%u]", i + 1, m_nReaderCount);
    if (!reader->Start()) return NoThread();
  }

  for (;;) {
    if (manager->IsIdxQueryDone() && manager->AreSnaphotsReadDone()) {
      log.DebugLvl(__FUNCTION__, 3, "Saving threads restart context information");
      // Joined (by stopOnExit) before the comparison: the index thread's
      // stop rewrites the restart information.
      manager->StopAllWorkers(false);
      return CQiError();
    }
    if (manager->IsAborted()) {
      log.DebugLvl(__FUNCTION__, 0, "TrueUp Processing aborted or failed!!");
      log.DebugLvl(__FUNCTION__, 3, "Saving threads restart context information");
      manager->StopAllWorkers(true);
      return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorAborted, "Operation aborted");
    }
    FXThread::Sleep(kPollMilliseconds);
    std::this_thread::sleep_for(kLeastPoll);
  }
}

CQiError CTrueUpHandler::DoPreTaskForVolume(const boost::shared_ptr<CVolumeTrueUpHandler>& volume) {
  volume->SetTrueUpDataBmpDisabled(m_bDataBmpDisabled);
  CQiError err = volume->GenerateNegateBmp();
  if (err.IsError()) return err.Push(FXCODELOC);
  err = volume->SplitNegateBmp();
  if (err.IsError()) return err.Push(FXCODELOC);
  UpdateVolumeToCollectsInfo(volume);
  return CQiError();
}

void CTrueUpHandler::UpdateVolumeToCollectsInfo(const boost::shared_ptr<CVolumeTrueUpHandler>& volume) {
  for (const auto& entry : volume->GetVolumeToCollectsMapping()) m_mVolumeToCollects.insert(entry);
}

CQiError CTrueUpHandler::DoPostTaskForVolume(const boost::shared_ptr<CVolumeTrueUpHandler>& volume) {
  CQiError err = volume->MergeNegateHashCFs();
  if (err.IsError()) return err.Push(FXCODELOC);
  err = volume->CompareHash();
  if (err.IsError()) return err.Push(FXCODELOC);
  err = volume->SaveTrueUpBmpToDisk();
  if (err.IsError()) return err.Push(FXCODELOC);
  return CQiError();
}

CQiError CTrueUpHandler::Finalize() {
  const std::string path = FXPath::Append(m_sTrueUpFolder, kVolumeToCollectsFile);
  scan::ReplacingFileWriter file(path);
  CQiError err = file.Open();
  if (err.IsError())
    return err.Push(FXCODELOC, "Fail to open %s to write collect file info, err=%s", path.c_str(),
                    err.AsString().c_str());
  for (const auto& entry : m_mVolumeToCollects)
    for (const CollectInfo& unit : entry.second) file.Append(entry.first + "|" + unit.GetCollect() + "\n");
  // The collect files it names, synced by their readers, are in the same
  // folder: its sync after the rename makes their names last too.
  err = file.Commit();
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to write collect file info to %s", path.c_str());
  if (m_bInspectBitmaps) InspectBitMaps(true);
  return CQiError();
}

void CTrueUpHandler::InspectBitMaps(bool afterTrueUp) {
  EvDebug log;
  for (const TrueUpVolInfo& volume : m_vVolumes) {
    const char* name = volume.GetVolume().c_str();
    log.DebugLvl(__FUNCTION__, 0, "Inspecting Bitmaps for Volume[%s]", name);
    if (afterTrueUp && volume.GetTrueUpBmp() != nullptr) {
      log.DebugLvl(__FUNCTION__, 0, "TRUEUP bitmap for volume[%s]", name);
      LogBitMap(volume.GetTrueUpBmp(), volume.GetDriverBmpSize());
      continue;
    }
    if (volume.GetDriverBmp() != nullptr) {
      log.DebugLvl(__FUNCTION__, 0, "BLOCK FILTER bitmap for volume[%s]", name);
      LogBitMap(volume.GetDriverBmp(), volume.GetDriverBmpSize());
    }
    if (volume.GetDataBlockBmp() != nullptr && !m_bDataBmpDisabled) {
      log.DebugLvl(__FUNCTION__, 0, "DATA BLOCK bitmap for volume[%s]", name);
      LogBitMap(volume.GetDataBlockBmp(), volume.GetDriverBmpSize());
    }
  }
}

void CTrueUpHandler::LogBitMap(const unsigned char* bitmap, unsigned long long bytes) {
  EvDebug log;
  std::string text;
  unsigned long long count = 0;
  const char* const function = __FUNCTION__;
  bitmap_words::ForEachSetBitBelow(bitmap, bytes * 8, [&](uint64_t n) {
    text += "|" + std::to_string(n);
    if (++count % kBitsPerLogLine == 0) {
      log.DebugLvl(function, 0, "Dirty bits [%s]", text.c_str());
      text.clear();
    }
    return true;
  });
  if (!text.empty()) log.DebugLvl(__FUNCTION__, 0, "Dirty bits [%s]", text.c_str());
}

bool CTrueUpHandler::IsNthBitSet(unsigned long long n, const unsigned char* bitmap) {
  return (bitmap[n / 8] >> (n % 8)) & 1u;
}
