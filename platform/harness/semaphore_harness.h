#pragma once
// Holding a named semaphore from the harness (blbsim sem hold), to stand for
// another process of the machine that is inside a locked operation.
#include <functional>
#include <string>

namespace blbsim {

// Takes the semaphore (waiting as long as it takes), calls held(), keeps it
// for the seconds (until the process is killed when negative) and gives it
// back. 0, or the errno of a semaphore that could not be made or taken.
int HoldSemaphore(const std::string& name, int seconds, const std::function<void()>& held);

}  // namespace blbsim
