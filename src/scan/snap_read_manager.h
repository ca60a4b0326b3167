#pragma once
// CSnapReadManager: the true-up's two work queues (volumes for the index
// thread, collect units for the reader threads) and the driver's questions
// about its threads: is the index work done, is the reading done, did a
// thread fail, is the job to be given up. It also stops them all.
//
// The manager owns its threads; each thread refers back to it weakly, so
// that releasing the manager after the threads are stopped frees all of
// them. A thread's busy mark is set before it asks its queue for work and
// cleared only once it found the queue empty, so "queue empty and every
// thread idle" means no taken unit is still being worked on.
#include <boost/shared_ptr.hpp>
#include <list>
#include <vector>

#include "platform/error/qi_error.h"
#include "platform/sync/critical_section.h"
#include "scan/true_up_work_units.h"

class CIndexInfoTrueUp;
class CSnapReadWorker;
class KZJobCtrlClient;

class CSnapReadManager {
 public:
  // Code of a queue found empty (no message): no work is left.
  static constexpr unsigned kQueueEmpty = 259;

  CSnapReadManager(int readerCount, const std::list<CollectInfo>& collects, const std::list<IdxVolInfo>& volumes,
                   KZJobCtrlClient* jobCtrl);
  ~CSnapReadManager();
  CSnapReadManager(const CSnapReadManager&) = delete;
  CSnapReadManager& operator=(const CSnapReadManager&) = delete;

  // Called by the driver before the threads do any work.
  void AddSnapReadHashWorker(const boost::shared_ptr<CSnapReadWorker>& worker);
  void SetIdxQueryWorker(const boost::shared_ptr<CIndexInfoTrueUp>& worker);

  CQiError GetNextIndexVolume(IdxVolInfo& volume);
  CQiError GetNextSnapCollect(CollectInfo& collect);

  bool IsIdxQueryDone();
  bool AreSnaphotsReadDone();
  bool AreWorkersIdle() const;
  bool AnyWorkerFailed() const;
  // A thread failed, or the job-control client says the job is to stop.
  bool IsAborted() const;
  // Stops the readers in registration order, then the index thread; with
  // wait, returns once every thread has ended. Takes no queue lock.
  void StopAllWorkers(bool wait);

 private:
  FXCriticalSection m_oIndexLock;
  FXCriticalSection m_oCollectLock;
  int m_nReaderCount;
  KZJobCtrlClient* m_pJobCtrl;
  std::vector<boost::shared_ptr<CSnapReadWorker>> m_vReaders;
  boost::shared_ptr<CIndexInfoTrueUp> m_pIndexWorker;
  std::list<IdxVolInfo> m_lIndexQueue;
  std::list<CollectInfo> m_lCollectQueue;
};
