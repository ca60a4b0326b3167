#include "scan/snap_read_worker.h"

#include "library/entry_guard.h"
#include "platform/log/ev_debug.h"
#include "scan/snap_read_manager.h"

namespace {
constexpr unsigned kErrorAborted = 995;
constexpr int kTimeoutSeconds = 120;
}  // namespace

CSnapReadWorker::CSnapReadWorker(const boost::shared_ptr<CSnapReadManager>& manager,
                                 const std::vector<TrueUpVolInfo>& volumes, TarvosJobInfo& job,
                                 DeviceHashComputeMode mode, unsigned int readAheadQLen)
    : m_nReadAheadQLen(readAheadQLen), m_eMode(mode), m_oJobInfo(job), m_pManager(manager), m_vVolumes(volumes) {
  SetTimeout(CTimeInterval::FromSeconds(kTimeoutSeconds));
  SetStopInterrupt([this] {
    m_bStopping = true;
    m_oReader.Stop();
  });
}

CSnapReadWorker::~CSnapReadWorker() {
  Stop(true);
}

void CSnapReadWorker::OnStart() {
  // An exception leaving the thread would end the agent's process: it fails
  // this worker, and so the true-up, instead.
  CQiError err;
  try {
    err = ReadSnapAndHashData();
  } catch (...) {
    err = blocklevel::FailureOfCurrentException(__FUNCTION__);
  }
  if (err.IsError()) {
    EvDebug log;
    log.Error(__FUNCTION__, "Failure while ReadSnapAndHashData, error[%s]", err.AsString().c_str());
    m_bFailed = true;
  }
}

void CSnapReadWorker::OnStop() {
  m_oReader.Stop();
}

CQiError CSnapReadWorker::ReadSnapAndHashData() {
  for (;;) {
    m_bIdle = false;
    CollectInfo collect;
    CQiError err;
    {
      // Held only for the question: the manager is not kept alive by a
      // worker between units.
      boost::shared_ptr<CSnapReadManager> manager = m_pManager.lock();
      if (!manager) {
        m_bIdle = true;
        return CQiError();
      }
      err = manager->GetNextSnapCollect(collect);
    }
    if (FXErrorUtil::IsWin32(err, CSnapReadManager::kQueueEmpty)) {
      m_bIdle = true;
      return CQiError();
    }
    if (err.IsError()) return err.Push(FXCODELOC, "GetNextSnapCollect failed to get next item");
    if (m_bStopping) return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorAborted, "Operation aborted");

    CVolumeReaderForScan::DeviceInfo info;
    err = PrepareDeviceInfo(info, collect);
    if (err.IsError()) return err.Push(FXCODELOC, "Failed to prepare device info");
    err = m_oReader.Initialize2(info);
    if (err.IsError())
      return err.Push(FXCODELOC, "VolReaderForScan initialization failed, error[%s]", err.AsString().c_str());
    err = m_oReader.Run();
    if (err.IsError()) return err.Push(FXCODELOC, "Volume reader failed with error[%s]", err.AsString().c_str());
  }
}

CQiError CSnapReadWorker::PrepareDeviceInfo(CVolumeReaderForScan::DeviceInfo& info, const CollectInfo& collect) {
  for (const TrueUpVolInfo& volume : m_vVolumes) {
    if (volume.GetVolume() != collect.GetVolume()) continue;
    info.sSnapDevice = volume.GetSnapDevice();
    info.oDeviceInfo = volume.GetBlkDevInfo();
    break;
  }
  info.oJobInfo = m_oJobInfo;
  info.pSubNegBmp = collect.GetSubNegBmp();
  info.nSubNegBmpSize = collect.GetSubNegBmpSize();
  info.nFirstExtent = collect.GetSubNegStartExt();
  info.nReadAheadQLen = m_nReadAheadQLen;
  info.eMode = m_eMode;
  info.sCollect = collect.GetCollect();
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 1, "Assigning Work unit to Volume snap reader for collect[%s]", info.sCollect.c_str());
  log.DebugLvl(__FUNCTION__, 3,
               "Volume[%s] SnapDevice[%s] SubNegBmpSize[%llu] SubNegStartExtent[%llu] ReadAheadQCount[%lu]",
               collect.GetVolume().c_str(), info.sSnapDevice.c_str(), info.nSubNegBmpSize, info.nFirstExtent,
               static_cast<unsigned long>(info.nReadAheadQLen));
  return CQiError();
}
