#pragma once
// Seeding and inspection of what the content list reads: the clients'
// active and virtual flags, their application types, backup sets and
// instances, the subclients' contents, the Oracle agent's data files and
// statuses, and the volume manager's pool maps; with the logs of the
// application-list queries, the Oracle content requests and the
// volume-manager queries.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/config/application_list.h"
#include "platform/dbagents/oracle_content.h"
#include "platform/lvm/lvm.h"

namespace blbsim {

// False for an unknown client.
bool SetClientFlags(uint64_t clientId, bool active, bool isVirtual);
// Replaces the client's application types.
bool SetApplicationTypes(uint64_t clientId, const std::vector<platform::ApplicationTypeRecord>& types);
bool AddBackupSet(const platform::BackupSetRecord& backupSet);
bool AddInstance(const platform::InstanceRecord& instance);
// Replaces the subclient's content paths.
bool SetSubclientContents(uint64_t cellId, uint64_t appId, const std::vector<std::string>& paths);
bool AddOracleFile(const platform::OracleFileRecord& file);
bool SetOracleStatus(uint64_t instanceId, int64_t status);
// Replaces the group of the same name.
bool AddVolumeGroup(const LVM::VG& group);

// Each of these throws for a read that failed (harness_reads.h).
std::vector<platform::ApplicationTypeRecord> ApplicationTypes(uint64_t clientId);
std::vector<platform::BackupSetRecord> BackupSets();
std::vector<std::string> SubclientContents(uint64_t cellId, uint64_t appId);
std::vector<platform::OracleFileRecord> OracleFiles(uint64_t instanceId);
std::vector<platform::ApplicationListCall> ApplicationListCalls();
std::vector<platform::OracleContentRequest> OracleRequests();
uint64_t VolumeManagerQueries(const std::string& device);

}  // namespace blbsim
