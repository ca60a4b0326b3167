#include "platform/harness/sim_harness.h"

#include <sys/stat.h>

#include <exception>
#include <optional>

#include "platform/driver/simulated_kzbf.h"
#include "platform/harness/harness_reads.h"
#include "platform/harness/kzbf_harness.h"
#include "platform/registry/registry_backend.h"
#include "platform/settings/settings.h"
#include "platform/sim/fs_util.h"
#include "platform/sim/state_db.h"
#include "platform/snapshot/snap_client_api.h"
#include "platform/text/fx_string.h"

namespace blbsim {
namespace {

constexpr const char* kVornServeHost = "vornserve.local";

}  // namespace

bool InitStateDir() {
  const std::string dir = platform::Settings::StateDir();
  if (!platform::MakeDirectoriesDurably(dir)) return false;
  platform::MakeDirectories(dir + "/logs");
  platform::MakeDirectoriesDurably(dir + "/install/Base");
  platform::MakeDirectoriesDurably(dir + "/jobresults");
  // The registry must exist with both sections even when no value is set.
  std::string value;
  if (!GetRegistryValue("Base", "dTARVOSHOME", value) && !SetRegistryValue("Base", "dTARVOSHOME", dir + "/install"))
    return false;
  if (!GetRegistryValue("FileSystemAgent", "sInitialised", value) &&
      !SetRegistryValue("FileSystemAgent", "sInitialised", "true"))
    return false;
  platform::AgentConfigBackend& config = platform::AgentConfig::Current();
  // What is set already is never laid out again over a read that failed.
  uint64_t localId = 0;
  if (!config.LocalClientId(localId)) return false;
  if (localId == 0) {
    platform::ClientRecord local;
    local.id = 2;
    local.name = "localclient";
    local.hostName = "localclient.local";
    local.jobResultsDir = dir + "/jobresults";
    local.installDir = dir + "/install";
    local.active = true;
    // The VornServe the agent was installed against; a verb changes or
    // clears it later, so only the first layout sets it.
    if (!config.PutClient(local) || !config.SetLocalClientId(local.id) || !config.SetVornServeHost(kVornServeHost))
      return false;
    localId = local.id;
  }
  // The machine's client answers for records whose own client is unknown.
  std::optional<platform::ClientRecord> local;
  if (!config.FindClient(localId, local)) return false;
  if (local && !GetRegistryValue("Base", "sPhysicalMachine", value) &&
      !SetRegistryValue("Base", "sPhysicalMachine", local->name))
    return false;
  // The snapshot service knows the block-level snap engine from the start.
  platform::SnapshotLibraryBackend& snapshots = platform::SnapshotLibrary::Current();
  std::optional<SMEngineInfo> engine;
  if (!snapshots.FindEngine(platform::kBlockLevelSnapEngine, engine) ||
      (!engine && !snapshots.PutEngine(SMEngineInfo{platform::kBlockLevelSnapEngine, "block level"})))
    return false;
  // An installed agent has its filter driver loaded and its load script.
  if (!FXPath::DoesPathExist(dir + "/drivers/kzbf") && (!SetKzbfLoaded(true) || !InstallKzbfLoadScript(true)))
    return false;
  return true;
}

bool ResetStateDir() {
  const std::string dir = platform::Settings::StateDir();
  // A snapshot's loop device outlives its image: detached now, or no later
  // release could find it. A database this build cannot read fails the
  // driver's lock; the state starts over all the same.
  try {
    platform::SimulatedKzBf::DestroyAllSnapshots();
  } catch (const std::exception&) {
  }
  platform::StateDb::CloseCurrent();
  // Only the entries of the layout: the state directory may be a folder that
  // holds other things too. Jobs' archive streams, details and reports go
  // with the database: a job of the same id would add to or read them.
  for (const char* entry :
       {"agent.db", "agent.db-wal", "agent.db-shm", "agent.db-journal", "registry.ini", "registry.ini.lock", "logs",
        "install", "jobresults", "hosts", "index", "drivers", "archive", "jobs", "reports"})
    if (!platform::RemoveTree(dir + "/" + entry)) return false;
  return InitStateDir();
}

bool StateDirExists() {
  struct stat info;
  return ::stat(platform::Settings::StateDir().c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsStateDirPrepared() {
  struct stat info;
  if (!StateDirExists() || ::stat(platform::Settings::RegistryFile().c_str(), &info) != 0 ||
      ::stat(platform::Settings::StatePath("agent.db").c_str(), &info) != 0)
    return false;
  const uint64_t localId = LocalClientId();
  return localId != 0 && FindClient(localId).has_value();
}

bool SetRegistryValue(const std::string& section, const std::string& key, const std::string& value) {
  return platform::Registry::Current().Set(section, key, value);
}

bool GetRegistryValue(const std::string& section, const std::string& key, std::string& value) {
  return platform::Registry::Current().Get(section, key, value);
}

bool RemoveRegistryValue(const std::string& section, const std::string& key) {
  return platform::Registry::Current().Remove(section, key);
}

bool AddClient(const platform::ClientRecord& client) {
  return platform::AgentConfig::Current().PutClient(client);
}

bool AddSubclient(const platform::SubclientRecord& subclient) {
  return platform::AgentConfig::Current().PutSubclient(subclient).ok();
}

bool SetLocalClient(uint64_t clientId) {
  return platform::AgentConfig::Current().SetLocalClientId(clientId);
}

void SetFault(const std::string& call, int code, bool raise, long long count) {
  platform::FaultTable::Set(call, code, raise, count);
}

void SetFault(const std::string& call, int code, platform::FaultMode mode, long long count) {
  platform::FaultTable::Set(call, code, mode, count);
}

void ClearFault(const std::string& call) {
  platform::FaultTable::Clear(call);
}

void ClearFaults() {
  platform::FaultTable::ClearAll();
}

std::vector<platform::Fault> Faults() {
  return platform::FaultTable::List();
}

std::optional<platform::ClientRecord> FindClient(uint64_t clientId) {
  return ReadOrThrow<std::optional<platform::ClientRecord>>([clientId](std::optional<platform::ClientRecord>& client) {
    return platform::AgentConfig::Current().FindClient(clientId, client);
  });
}

std::optional<platform::SubclientRecord> FindSubclient(uint64_t cellId, uint64_t appId) {
  return ReadOrThrow<std::optional<platform::SubclientRecord>>(
      [cellId, appId](std::optional<platform::SubclientRecord>& subclient) {
        return platform::AgentConfig::Current().FindSubclient(cellId, appId, subclient);
      });
}

uint64_t LocalClientId() {
  return ReadOrThrow<uint64_t>([](uint64_t& id) { return platform::AgentConfig::Current().LocalClientId(id); });
}

std::optional<std::string> SubclientJobResultsDir(uint64_t cellId, uint64_t appId) {
  return ReadOrThrow<std::optional<std::string>>([cellId, appId](std::optional<std::string>& directory) {
    return platform::SubclientJobResultsDir(cellId, appId, directory);
  });
}

std::vector<platform::RaisedEvent> Events() {
  return ReadOrThrow<std::vector<platform::RaisedEvent>>(
      [](std::vector<platform::RaisedEvent>& events) { return platform::StoredEvents(events); });
}

}  // namespace blbsim
