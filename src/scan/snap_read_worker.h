#pragma once
// CSnapReadWorker: a true-up reader thread. It takes collect units from the
// read manager until the queue is empty and, for each, reads and hashes the
// extents of the unit's piece of bitmap into the unit's collect file with
// its one volume reader. A unit that fails ends the worker's work: it stays
// busy and marks itself failed, which the driver reads as an abort.
//
// A stop interrupts the reader from the stopping thread (a unit being read
// ends at once with 995) and keeps the worker from taking another unit.
#include <atomic>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <vector>

#include "platform/thread/alertable_event_thread.h"
#include "records/tarvos_job_info.h"
#include "scan/true_up_vol_info.h"
#include "scan/true_up_work_units.h"
#include "scan/volume_reader_for_scan.h"

class CSnapReadManager;

class CSnapReadWorker : public CAlertableEventThread {
 public:
  CSnapReadWorker(const boost::shared_ptr<CSnapReadManager>& manager, const std::vector<TrueUpVolInfo>& volumes,
                  TarvosJobInfo& job, DeviceHashComputeMode mode, unsigned int readAheadQLen);
  ~CSnapReadWorker() override;

  bool IsIdle() const { return m_bIdle; }
  bool AnyFailure() const { return m_bFailed; }

  void OnStart() override;
  void OnStop() override;

  CQiError PrepareDeviceInfo(CVolumeReaderForScan::DeviceInfo& info, const CollectInfo& collect);
  CQiError ReadSnapAndHashData();

 private:
  std::atomic<bool> m_bFailed{false};
  std::atomic<bool> m_bIdle{true};
  std::atomic<bool> m_bStopping{false};
  unsigned int m_nReadAheadQLen;
  DeviceHashComputeMode m_eMode;
  TarvosJobInfo m_oJobInfo;
  CVolumeReaderForScan m_oReader;
  boost::weak_ptr<CSnapReadManager> m_pManager;
  std::vector<TrueUpVolInfo> m_vVolumes;
};
