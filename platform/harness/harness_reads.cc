#include "platform/harness/harness_reads.h"

#include <string>

namespace blbsim {

void ThrowIfFailed(const platform::StateDbResult& read) {
  if (!read) throw platform::StateDbError("Cannot read the simulated services' records: " + read.Why());
}

}  // namespace blbsim
