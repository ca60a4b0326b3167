#pragma once
// Shell commands run from tests, with what they print.
#include <string>

namespace testing_support {

// Runs the command line through /bin/sh and returns its exit status (-1 when
// it could not be started or did not exit normally). Its standard output goes
// to *output when given; the command line itself decides where errors go.
int RunCommand(const std::string& command, std::string* output = nullptr);

// Runs the command line through /bin/sh like RunCommand, its output left to
// the test's, and gives the peak resident size in KiB of the largest process
// it ran (at least the test's own: a child starts as a copy of it).
int RunCommandMeasuringPeakMemory(const std::string& command, long& peakKiB);

// The standard output of a command line, or "" with a test failure when it
// does not exit with status 0.
std::string CommandOutput(const std::string& command);

// The command's output once it is the expected one, or its last output after
// five seconds of asking again. For what the kernel lets go of lazily: a
// detached loop device stays listed until its last opener (udev's probe of
// a new device, say) has closed it.
std::string SettledCommandOutput(const std::string& command, const std::string& expected);

}  // namespace testing_support
