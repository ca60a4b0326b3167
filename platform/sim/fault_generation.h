#pragma once
// The generation of a state directory's faults table, shared by every
// process that uses the directory: a word in "faults.generation" beside the
// database, mapped into each process. Whoever changes the table raises it,
// so a process checking failable calls learns of another process's change
// with one memory read, without a clock or a look at the database.
#include <atomic>
#include <string>

namespace platform {

class FaultGeneration {
 public:
  using Word = std::atomic<unsigned long long>;
  // The directory's word, made when missing; mapped again when the file was
  // replaced (a directory made anew under the same name). nullptr when it
  // cannot be made or mapped: the caller then falls back to looking by time.
  static const Word* Of(const std::string& stateDir);
  static void Raise(const std::string& stateDir);
  // Raised when a process leaves the directory (Settings::SetStateDir): the
  // word as this process mapped it and the directory's file, if there; none
  // is made. Another copy of the platform in the process (the shared
  // library's carries its own) keeps its own epoch and watches this word, so
  // that it looks at the directory it is in anew.
  static void RaiseLeft(const std::string& stateDir);
};

}  // namespace platform
