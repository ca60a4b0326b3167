#pragma once
// The texts of a volume that the job writes into its records: the device
// configuration files, the collect lists, the hash file and the snapshot
// service's records are lines of '|'-separated fields, which a '|', a
// carriage return or a line feed in a path or in the mount options would
// split. The library refuses such a record only after the snapshot; the job
// command refuses the volume before anything is taken.
#include "platform/snapshot/sm_vol_block.h"

namespace blbjob {

// True when every text of the volume fits a record's field; otherwise says
// on stderr which text holds which character.
bool FitsTheJobRecords(const SMVolBlock& volume);

}  // namespace blbjob
