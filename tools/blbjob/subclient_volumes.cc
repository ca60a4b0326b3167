#include "subclient_volumes.h"

#include <algorithm>
#include <optional>
#include <set>
#include <string>

#include "platform/config/agent_config.h"
#include "platform/config/application_list.h"
#include "platform/sim/state_db.h"
#include "verbs/error_report.h"

namespace blbjob {
namespace {

constexpr const char* kDefaultBackupSet = "defaultBackupSet";

// The application types whose subclients the content list reads as file
// systems: their backup sets, their subclients' contents.
bool IsFileSystemAppType(uint64_t type) {
  return type == 19 || type == 21 || type == 29;
}

// What the subclient lacks; nothing when it lacks nothing.
struct Missing {
  uint64_t clientId = 0;                                              // the subclient's
  std::optional<platform::SubclientRecord> subclient;                 // placed in a backup set
  std::optional<std::vector<platform::ApplicationTypeRecord>> types;  // the client's, one added
  std::optional<platform::BackupSetRecord> backupSet;
  std::optional<std::vector<std::string>> contents;  // the subclient's, the volumes added

  bool Nothing() const { return !subclient && !types && !backupSet && !contents; }
};

uint64_t LowestFreeBackupSetId(const std::vector<platform::BackupSetRecord>& backupSets) {
  std::set<uint64_t> used;
  for (const platform::BackupSetRecord& backupSet : backupSets) used.insert(backupSet.id);
  uint64_t id = 1;
  while (used.count(id) != 0) ++id;
  return id;
}

// The backup set of the id; none for 0, which names no backup set.
const platform::BackupSetRecord* FindBackupSet(const std::vector<platform::BackupSetRecord>& backupSets, uint64_t id) {
  for (const platform::BackupSetRecord& backupSet : backupSets)
    if (id != 0 && backupSet.id == id) return &backupSet;
  return nullptr;
}

// What the subclient lacks, into `missing`. Every list it replaces is read
// whole or not at all: a read that failed ends the look with its cause, and
// nothing is written from it.
platform::StateDbResult FindMissing(uint64_t cellId, uint64_t appId, uint64_t appType,
                                    const std::vector<SMVolBlock>& volumes, Missing& missing) {
  missing = Missing();
  platform::AgentConfigBackend& config = platform::AgentConfig::Current();
  platform::ApplicationListBackend& list = platform::ApplicationList::Current();
  std::optional<platform::SubclientRecord> subclient;
  platform::StateDbResult read = config.FindSubclient(cellId, appId, subclient);
  // The content list reads block-level subclients only: another one is left
  // as it was seeded.
  constexpr uint64_t kBlockLevelFlags =
      platform::SubclientRecord::kBlockLevel | platform::SubclientRecord::kBlockLevelSPOS;
  if (!read || !subclient || (subclient->blockLevelFlags & kBlockLevelFlags) == 0) return read;
  std::optional<platform::ClientRecord> client;
  if (!(read = config.FindClient(subclient->clientId, client)) || !client) return read;
  std::vector<platform::BackupSetRecord> backupSets;
  if (!(read = list.AllBackupSets(backupSets))) return read;
  const platform::BackupSetRecord* inSet = FindBackupSet(backupSets, subclient->backupSetId);
  // The backup set the subclient is in tells its type when it has none.
  uint64_t type = subclient->appType;
  if (type == 0) type = inSet != nullptr ? inSet->appType : appType;
  if (!IsFileSystemAppType(type)) return read;
  const uint64_t clientId = missing.clientId = subclient->clientId;

  std::vector<platform::ApplicationTypeRecord> types;
  if (!(read = list.ApplicationTypes(clientId, types))) return read;
  if (std::none_of(types.begin(), types.end(),
                   [type](const platform::ApplicationTypeRecord& known) { return known.type == type; })) {
    types.push_back({type, ""});
    missing.types = types;
  }

  platform::BackupSetRecord backupSet{subclient->backupSetId, clientId, type, 0, kDefaultBackupSet};
  if (subclient->backupSetId == 0) {
    std::vector<platform::BackupSetRecord> ofType;
    if (!(read = list.BackupSets(clientId, type, 0, ofType))) return read;
    if (!ofType.empty()) {
      backupSet.id = ofType.front().id;
    } else {
      backupSet.id = LowestFreeBackupSetId(backupSets);
      missing.backupSet = backupSet;
    }
    missing.subclient = *subclient;
    missing.subclient->backupSetId = backupSet.id;
  } else if (inSet == nullptr) {
    missing.backupSet = backupSet;
  }

  std::vector<std::string> contents;
  if (!(read = config.SubclientContents(cellId, appId, contents))) return read;
  bool added = false;
  for (const SMVolBlock& volume : volumes) {
    if (std::find(contents.begin(), contents.end(), volume.sVolume) != contents.end()) continue;
    contents.push_back(volume.sVolume);
    added = true;
  }
  if (added) missing.contents = contents;
  return read;
}

platform::StateDbResult AddMissing(uint64_t cellId, uint64_t appId, const Missing& missing) {
  platform::AgentConfigBackend& config = platform::AgentConfig::Current();
  platform::ApplicationListBackend& list = platform::ApplicationList::Current();
  platform::StateDbResult result;
  if (missing.types) result = list.PutApplicationTypes(missing.clientId, *missing.types);
  // A backup set numbered after those read: should the read have missed one,
  // the id is taken and refused rather than the other set replaced.
  if (result && missing.backupSet) result = list.AddBackupSet(*missing.backupSet);
  if (result && missing.subclient) result = config.PutSubclient(*missing.subclient);
  if (result && missing.contents) result = config.PutSubclientContents(cellId, appId, *missing.contents);
  return result;
}

}  // namespace

CQiError EnsureSubclientBacksUpVolumes(const Command& command, uint64_t appType,
                                       const std::vector<SMVolBlock>& volumes) {
  const uint64_t cellId = command.job.GetVornCellId(), appId = command.job.GetAppId();
  // Read first: a subclient that lacks nothing is not written to.
  Missing missing;
  platform::StateDbResult added = FindMissing(cellId, appId, appType, volumes, missing);
  if (added && missing.Nothing()) return CQiError();
  platform::StateDb& db = platform::StateDb::Current();
  // Looked at again inside the transaction: a job of another subclient may
  // have added a backup set since.
  if (added)
    added = db.Transaction([&] {
      const platform::StateDbResult found = FindMissing(cellId, appId, appType, volumes, missing);
      return found ? AddMissing(cellId, appId, missing) : found;
    });
  if (added) return CQiError();
  return platform::StateDbFailure(FXCODELOC, added, "Cannot configure subclient %llu:%llu with the job's volumes",
                                  static_cast<unsigned long long>(cellId), static_cast<unsigned long long>(appId));
}

bool EnsureSubclientBacksUpVolumesOrSay(const Command& command, uint64_t appType,
                                        const std::vector<SMVolBlock>& volumes) {
  const CQiError error = EnsureSubclientBacksUpVolumes(command, appType, volumes);
  if (error.IsError()) tools::PrintError("cannot configure the job's subclient", error);
  return !error.IsError();
}

}  // namespace blbjob
