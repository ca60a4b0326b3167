#pragma once
// Whether a process is on its way out. A killed job command can take a while
// to end (a thread in a wait that no signal breaks: a disk read, a sync), and
// holds what it holds till then: the subclient's lock, its end of its freeze
// holder's socket, which keeps the freeze. A verb run right after the kill
// waits for it rather than take it for a running job.
#include <sys/types.h>

#include <functional>

namespace blbjob {

// How long a verb waits for what a killed job leaves ending.
constexpr int kEndingWaitMs = 20000;

// Gone, a zombie, exiting, or with SIGKILL pending.
bool IsEnding(pid_t pid);

// Polls until done() or the wait is over; done()'s last answer.
bool WaitUntil(const std::function<bool()>& done, int waitMs);

}  // namespace blbjob
