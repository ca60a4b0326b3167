#include "scan/snap_read_manager.h"

#include <optional>

#include "platform/jobs/job_ctrl_client.h"
#include "platform/log/ev_debug.h"
#include "scan/index_info_true_up.h"
#include "scan/snap_read_worker.h"

namespace {

template <class Item>
CQiError TakeFront(FXCriticalSection& lock, std::list<Item>& queue, Item& item) {
  auto_lock guard(lock);
  if (queue.empty()) return FXErrorUtil::ErrorWin32(FXCODELOC, CSnapReadManager::kQueueEmpty);
  item = queue.front();
  queue.pop_front();
  return CQiError();
}

}  // namespace

CSnapReadManager::CSnapReadManager(int readerCount, const std::list<CollectInfo>& collects,
                                   const std::list<IdxVolInfo>& volumes, KZJobCtrlClient* jobCtrl)
    : m_nReaderCount(readerCount), m_pJobCtrl(jobCtrl), m_lIndexQueue(volumes), m_lCollectQueue(collects) {}

CSnapReadManager::~CSnapReadManager() = default;

void CSnapReadManager::AddSnapReadHashWorker(const boost::shared_ptr<CSnapReadWorker>& worker) {
  m_vReaders.push_back(worker);
}

void CSnapReadManager::SetIdxQueryWorker(const boost::shared_ptr<CIndexInfoTrueUp>& worker) {
  m_pIndexWorker = worker;
}

CQiError CSnapReadManager::GetNextIndexVolume(IdxVolInfo& volume) {
  return TakeFront(m_oIndexLock, m_lIndexQueue, volume);
}

CQiError CSnapReadManager::GetNextSnapCollect(CollectInfo& collect) {
  return TakeFront(m_oCollectLock, m_lCollectQueue, collect);
}

bool CSnapReadManager::IsIdxQueryDone() {
  auto_lock guard(m_oIndexLock);
  return m_lIndexQueue.empty() && AreWorkersIdle();
}

bool CSnapReadManager::AreSnaphotsReadDone() {
  auto_lock guard(m_oCollectLock);
  return m_lCollectQueue.empty() && AreWorkersIdle();
}

bool CSnapReadManager::AreWorkersIdle() const {
  for (const boost::shared_ptr<CSnapReadWorker>& reader : m_vReaders)
    if (!reader->IsIdle()) return false;
  return !m_pIndexWorker || m_pIndexWorker->IsIdle();
}

bool CSnapReadManager::AnyWorkerFailed() const {
  for (const boost::shared_ptr<CSnapReadWorker>& reader : m_vReaders)
    if (reader->AnyFailure()) return true;
  return m_pIndexWorker && m_pIndexWorker->AnyFailure();
}

bool CSnapReadManager::IsAborted() const {
  if (AnyWorkerFailed()) return true;
  return m_pJobCtrl != nullptr && m_pJobCtrl->checkQuitFlag();
}

void CSnapReadManager::StopAllWorkers(bool wait) {
  std::optional<KZDebugFunction> trace;
  if (EvDebug::IsLevelEnabled(2)) trace.emplace(__FUNCTION__);
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 3, "Stopping %d reader threads and the index thread, Wait=%d", m_nReaderCount,
               wait ? 1 : 0);
  // Every thread is asked to stop before any is waited for, so that one
  // thread's long piece of work does not hold up the others' interruption.
  for (const boost::shared_ptr<CSnapReadWorker>& reader : m_vReaders) reader->Stop(false);
  if (m_pIndexWorker) m_pIndexWorker->Stop(false);
  if (!wait) return;
  for (const boost::shared_ptr<CSnapReadWorker>& reader : m_vReaders) reader->Stop(true);
  if (m_pIndexWorker) m_pIndexWorker->Stop(true);
}
