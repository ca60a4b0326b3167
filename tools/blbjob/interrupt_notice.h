#pragma once
// What an interrupted run tells. Ended by a signal in any phase, a run
// leaves the snapshots it took (it cannot be trusted to release them midway),
// so before it ends it says on stderr which snapshots the job still holds and
// the release command that frees them. It then ends by the signal, as it
// would have without the notice.
#include <cstdint>
#include <thread>

#include "verbs/verb.h"

namespace blbjob {

// For its scope, SIGINT, SIGTERM and SIGHUP (those not ignored) are noted by
// a handler and told by a thread of its own; one at a time per process.
class InterruptNotice {
 public:
  InterruptNotice(uint64_t jobId, const tools::Args& jobArgs);
  ~InterruptNotice();
  InterruptNotice(const InterruptNotice&) = delete;
  InterruptNotice& operator=(const InterruptNotice&) = delete;

 private:
  void Watch(int readEnd);

  uint64_t m_nJobId;
  tools::Args m_oJobArgs;
  std::thread m_oWatcher;
};

}  // namespace blbjob
