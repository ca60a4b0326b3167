#pragma once
// Seeding and inspection of the simulated platform state. The blbsim command
// is a thin shell over these calls; tests use them directly.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/config/agent_config.h"
#include "platform/event/ev_event.h"
#include "platform/sim/fault_table.h"

namespace blbsim {

// Lays out the state directory the settings name (BLB_STATE_DIR): the
// registry with the "FileSystemAgent" and "Base" sections ("dTARVOSHOME"
// pointing at <dir>/install), the log and job-results folders, the agent
// database with this machine's client (id 2, active, job results <dir>/jobresults),
// the filter driver loaded, the physical machine named after that client,
// the VornServe host "vornserve.local" (on the first layout only).
// Existing values are kept; false, with nothing laid over them, when they
// cannot be read.
bool InitStateDir();
// Starts over: removes what InitStateDir and the services laid out in the
// state directory (the database, the registry, the logs, the install,
// job-results, hosts, index and drivers folders; nothing else), then lays it
// out anew.
bool ResetStateDir();
// Whether the state directory exists; a command that only reads the state
// refuses one that does not rather than lay it out.
bool StateDirExists();
// Whether InitStateDir laid the state directory out: its registry, its
// database and this machine's client. Creates nothing; throws StateDbError
// when the database cannot be read.
bool IsStateDirPrepared();

bool SetRegistryValue(const std::string& section, const std::string& key, const std::string& value);
bool GetRegistryValue(const std::string& section, const std::string& key, std::string& value);
bool RemoveRegistryValue(const std::string& section, const std::string& key);

bool AddClient(const platform::ClientRecord& client);
bool AddSubclient(const platform::SubclientRecord& subclient);
bool SetLocalClient(uint64_t clientId);
// The configuration's records; each throws for a read that failed
// (harness_reads.h).
std::optional<platform::ClientRecord> FindClient(uint64_t clientId);
std::optional<platform::SubclientRecord> FindSubclient(uint64_t cellId, uint64_t appId);
uint64_t LocalClientId();
std::optional<std::string> SubclientJobResultsDir(uint64_t cellId, uint64_t appId);

void SetFault(const std::string& call, int code, bool raise = false, long long count = -1);
// A delay fault waits `code` milliseconds.
void SetFault(const std::string& call, int code, platform::FaultMode mode, long long count = -1);
void ClearFault(const std::string& call);
void ClearFaults();
std::vector<platform::Fault> Faults();

std::vector<platform::RaisedEvent> Events();

}  // namespace blbsim
