#pragma once
// What the harness reads of the services, for a test or a blbsim verb. A
// read that failed throws platform::StateDbError naming its cause (a verb
// prints it and exits 1): no one is shown fewer records than are stored,
// nor told that a stored one is missing. The job command, which must not
// be cut short by a throw, uses the readers that return a result.
#include "platform/sim/state_db.h"

namespace blbsim {

// Throws for a read that failed.
void ThrowIfFailed(const platform::StateDbResult& read);

// What read(out) read into a value-initialised Out.
template <typename Out, typename Read>
Out ReadOrThrow(Read read) {
  Out out{};
  ThrowIfFailed(read(out));
  return out;
}

}  // namespace blbsim
