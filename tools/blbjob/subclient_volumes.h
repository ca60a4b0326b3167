#pragma once
// The job's subclient as the agent's configuration has it before a job: one
// the content list reaches (an application type of its client, a backup set
// of that type holding it) and whose contents hold the volumes the job backs
// up. The pre-snap task's checks (flag 1) ask the content list which devices
// the block-level subclients back up; a device it does not find for a
// subclient loses that subclient's tracking, and the job goes full.
#include <cstdint>
#include <vector>

#include "job_command.h"
#include "platform/snapshot/sm_vol_block.h"

namespace blbjob {

// For a block-level file-system subclient (application type 19, 21 or 29:
// the subclient's own, else that of the backup set it is in, else `appType`)
// of a known client, adds what it lacks of that to the simulated services,
// in one transaction: the type among its client's application types, a
// backup set (the client's first of the type that serves every instance,
// else a new "defaultBackupSet" of the lowest free id) when it is in none,
// one of the id it names when there is none of that id, each volume's path
// (sVolume) among its contents. Nothing there is removed or replaced: a
// subclient of another type (a database's, whose contents the content list
// takes elsewhere) or without the block-level flag is left as it is, one in
// a backup set of another client or type stays there. A failure names the
// state database's cause.
CQiError EnsureSubclientBacksUpVolumes(const Command& command, uint64_t appType,
                                       const std::vector<SMVolBlock>& volumes);
// The same, telling a failure on stderr; false then.
bool EnsureSubclientBacksUpVolumesOrSay(const Command& command, uint64_t appType,
                                        const std::vector<SMVolBlock>& volumes);

}  // namespace blbjob
