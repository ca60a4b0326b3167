#pragma once
// The job command runs only against a state directory `blbsim init` laid out:
// in another it would record the job's subclient for a client that does not
// exist, which a later `blbsim init` does not repair.

namespace blbjob {

// True when the state directory (BLB_STATE_DIR) is laid out; otherwise says
// so, naming `blbsim init`, and touches nothing.
bool StateDirReady();

}  // namespace blbjob
