#pragma once
// A program of the library's own run under strace with one system call made
// to fail or to kill it, at each of its calls in turn: what a machine whose
// disk fills, fails or loses power does to a job at that point.
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// Empty when strace can trace a child here, else why it cannot.
std::string StraceUnavailable();

enum class InjectedFault { kKill, kNoSpace, kIo };

// One fault: the when-th call (from 1) of any of the calls named
// ("rename,renameat,renameat2") kills the program or fails with the errno;
// with a path, only the calls on that file count.
struct FaultPoint {
  std::string calls;
  InjectedFault fault;
  int when;
  std::string path = std::string();
};

std::string Describe(const FaultPoint& point);

// The command line (a program and its arguments, no shell syntax) under
// strace with the fault. Its exit status; struck tells whether the fault
// came, its output goes to *output when given (standard error too).
int RunWithFault(const std::string& command, const FaultPoint& point, bool& struck, std::string* output = nullptr);

// The command's calls of those named ("openat,fsync"), in order, each as
// strace prints it with the paths of descriptors: "fsync(3</a/b>) = 0". The
// n-th call of a system call here is the one a fault point's `when` of n
// strikes.
std::vector<std::string> TraceCalls(const std::string& command, const std::string& calls);

// Whether the traced calls sync the folder (an fsync of a descriptor of it)
// after the last call other than an fsync that names the text, when there
// is such a call.
bool FolderSyncedAfterLast(const std::vector<std::string>& calls, const std::string& text, const std::string& folder);

// Which sync of the folder (1 for its first fsync in the calls) comes after
// the first removal (unlink, unlinkat) of the path and before the first
// later call that names the text `next` (what relies on the removal); 0 when
// none does, or the path is never removed.
int FolderSyncAfterRemoval(const std::vector<std::string>& calls, const std::string& path, const std::string& folder,
                           const std::string& next);

// The calls that write, rename, remove, truncate and sync files, a group for
// each.
const std::vector<std::string>& FileChangingCalls();

// For every call group, every fault and every call of the group the command
// makes (at most maxWhen): prepare() sets the state up, the command runs
// with the fault, and check() judges the state it left. Stops a group at the
// first run the fault does not reach; fails when a group never strikes
// within maxWhen or no group strikes at all.
using FaultCheck = std::function<void(const FaultPoint& point, int status, const std::string& output)>;
void ForEveryFaultPoint(const std::vector<std::string>& callGroups, const std::vector<InjectedFault>& faults,
                        int maxWhen, const std::function<void()>& prepare, const std::string& command,
                        const FaultCheck& check);
// The same with the command line made after each prepare().
void ForEveryFaultPoint(const std::vector<std::string>& callGroups, const std::vector<InjectedFault>& faults,
                        int maxWhen, const std::function<void()>& prepare, const std::function<std::string()>& command,
                        const FaultCheck& check);

}  // namespace testing_support
