// The read manager's answers about its threads: done only when the queue is
// empty and every thread idle, aborted when one failed or the job is to
// stop.
#include "scan/snap_read_manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/harness/job_harness.h"
#include "platform/jobs/job_ctrl_client.h"
#include "scan/scan_test_fixtures.h"
#include "scan/snap_read_worker.h"

namespace {

// Whether the condition holds within a few seconds.
template <class Condition>
bool Eventually(Condition condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class SnapReadManagerTest : public scan_test::ScanTest {
 protected:
  void SetUp() override {
    job_ = TarvosJobInfo(scan_test::JobArgs("2"));
    ASSERT_EQ(job_.ParseArgs(false), 0);
  }
  boost::shared_ptr<CSnapReadWorker> Worker(const boost::shared_ptr<CSnapReadManager>& manager) {
    boost::shared_ptr<CSnapReadWorker> worker(new CSnapReadWorker(manager, {}, job_, HC_NO_THREAD, 4));
    manager->AddSnapReadHashWorker(worker);
    return worker;
  }

  TarvosJobInfo job_;
  unsigned char piece_[1] = {0x01};
};

TEST_F(SnapReadManagerTest, EmptyQueuesAreDoneOnceEveryThreadIsIdle) {
  boost::shared_ptr<CSnapReadManager> manager(new CSnapReadManager(3, {}, {}, nullptr));
  boost::shared_ptr<CSnapReadWorker> first = Worker(manager);
  EXPECT_TRUE(manager->IsIdxQueryDone());
  EXPECT_TRUE(manager->AreSnaphotsReadDone());
  // More readers than units: the surplus ones find nothing and stay idle.
  ASSERT_TRUE(first->Start());
  boost::shared_ptr<CSnapReadWorker> second = Worker(manager);
  ASSERT_TRUE(second->Start());
  EXPECT_TRUE(Eventually([&] { return manager->AreSnaphotsReadDone(); }));
  EXPECT_FALSE(manager->IsAborted());
  manager->StopAllWorkers(true);
  IdxVolInfo volume;
  EXPECT_TRUE(FXErrorUtil::IsWin32(manager->GetNextIndexVolume(volume), CSnapReadManager::kQueueEmpty));
}

TEST_F(SnapReadManagerTest, AFailedReaderOrAQuitRequestAbortsTheRun) {
  // A unit of a volume no record names: its reader cannot open a device.
  const std::list<CollectInfo> units = {CollectInfo("/mnt/none", jr_, 1, piece_, 1, 0)};
  boost::shared_ptr<CSnapReadManager> manager(new CSnapReadManager(2, units, {}, nullptr));
  boost::shared_ptr<CSnapReadWorker> worker = Worker(manager);
  testing_support::CapturingLog log(-1);
  ASSERT_TRUE(worker->Start());
  ASSERT_TRUE(Eventually([&] { return manager->AnyWorkerFailed(); }));
  EXPECT_TRUE(manager->IsAborted());
  EXPECT_FALSE(manager->AreSnaphotsReadDone());
  EXPECT_TRUE(log.Contains("Failure while ReadSnapAndHashData, error["));
  manager->StopAllWorkers(true);

  // Nothing failed: the job-control client decides.
  ASSERT_TRUE(blbsim::SetJobQuitFlag(101, true));
  KZJobCtrlClient jobCtrl(101, "localclient");
  EXPECT_TRUE(CSnapReadManager(1, {}, {}, &jobCtrl).IsAborted());
  EXPECT_FALSE(CSnapReadManager(1, {}, {}, nullptr).IsAborted());
  ASSERT_TRUE(blbsim::SetJobQuitFlag(101, false));
  EXPECT_FALSE(CSnapReadManager(1, {}, {}, &jobCtrl).IsAborted());
  EXPECT_FALSE(blbsim::SetJobQuitFlag(999, true));
}

}  // namespace
