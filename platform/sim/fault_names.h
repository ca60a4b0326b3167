#pragma once
// The names of every failable closed call, as the facades check them with
// InjectedFault / InjectedFaultCode. Setting a fault on any other name would
// inject nothing and quietly test the success path, so the harness and
// FaultTable::Set refuse such names.
//
// A facade that makes a call failable adds its name to the table in
// fault_names.cc, in its facade's group, and checks it with the name written
// as a literal at the call site; a test reads the call sites and fails on a
// name missing from the table.
#include <string>
#include <vector>

namespace platform {

// Every name, sorted.
const std::vector<std::string>& FailableCalls();
bool IsFailableCall(const std::string& call);
// The names closest to a mistyped one (fewest edits, ignoring case), at most
// `count`, nearest first.
std::vector<std::string> NearestFailableCalls(const std::string& call, size_t count = 3);

}  // namespace platform
