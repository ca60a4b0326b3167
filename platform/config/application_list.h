#pragma once
// The agent's application list, simulated: per client its application types
// (with their names, in order), its backup sets and instances, and the
// subclients of each. Every query of the list's facade
// (ClientApplicationList) is logged with its client and application type.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/backend.h"
#include "platform/config/agent_config.h"

namespace platform {

struct ApplicationTypeRecord {
  uint64_t type = 0;
  std::string name;
};

// The application of a file-system client that groups its subclients.
struct BackupSetRecord {
  uint64_t id = 0;
  uint64_t clientId = 0;
  uint64_t appType = 0;
  uint64_t instanceId = 0;  // 0: of every instance
  std::string name;
};

// A database instance of a client.
struct InstanceRecord {
  uint64_t id = 0;
  uint64_t clientId = 0;
  uint64_t appType = 0;
  std::string name;
  // As the instance returns it: MySQL "a:/var/lib/mysql;b", PostgreSQL the
  // data directory.
  std::string dataDir;
};

struct ApplicationListCall {
  std::string call;  // "getBackupSetList", ...
  uint64_t clientId = 0;
  uint64_t appType = 0;
};

// The readers return done (nothing found included) or why the read
// failed: a failed read is never taken for fewer records.
class ApplicationListBackend {
 public:
  virtual ~ApplicationListBackend() = default;
  virtual StateDbResult ApplicationTypes(uint64_t clientId, std::vector<ApplicationTypeRecord>& types) = 0;
  // The client's backup sets of the type whose instance is the given one or
  // 0, in id order.
  virtual StateDbResult BackupSets(uint64_t clientId, uint64_t appType, uint64_t instanceId,
                                   std::vector<BackupSetRecord>& backupSets) = 0;
  // Subclients in application-id order.
  virtual StateDbResult BackupSetSubclients(uint64_t backupSetId, std::vector<SubclientRecord>& subclients) = 0;
  virtual StateDbResult Instances(uint64_t clientId, uint64_t appType, std::vector<InstanceRecord>& instances) = 0;
  virtual StateDbResult FindInstance(uint64_t instanceId, std::optional<InstanceRecord>& instance) = 0;
  virtual StateDbResult InstanceSubclients(uint64_t cellId, uint64_t clientId, uint64_t appType, uint64_t instanceId,
                                           std::vector<SubclientRecord>& subclients) = 0;
  virtual void RecordCall(const ApplicationListCall& call) = 0;
  virtual StateDbResult Calls(std::vector<ApplicationListCall>& calls) = 0;

  // Seeding. PutApplicationTypes replaces the client's whole list. Done, or
  // the state database's cause.
  virtual StateDbResult PutApplicationTypes(uint64_t clientId, const std::vector<ApplicationTypeRecord>& types) = 0;
  virtual StateDbResult PutBackupSet(const BackupSetRecord& backupSet) = 0;
  // A new backup set: an id another holds is refused (EEXIST), never
  // replaced.
  virtual StateDbResult AddBackupSet(const BackupSetRecord& backupSet) = 0;
  virtual bool PutInstance(const InstanceRecord& instance) = 0;
  virtual StateDbResult ClientsWithApplicationTypes(std::vector<uint64_t>& clientIds) = 0;
  virtual StateDbResult AllBackupSets(std::vector<BackupSetRecord>& backupSets) = 0;
  virtual StateDbResult AllInstances(std::vector<InstanceRecord>& instances) = 0;
  // The client ids of an Oracle RAC instance's nodes, in their order;
  // PutRacNodes replaces the list.
  virtual StateDbResult RacNodes(uint64_t instanceId, std::vector<uint64_t>& clientIds) = 0;
  virtual bool PutRacNodes(uint64_t instanceId, const std::vector<uint64_t>& clientIds) = 0;
  // Every instance that has nodes.
  virtual StateDbResult RacInstances(std::vector<uint64_t>& instanceIds) = 0;

  static ApplicationListBackend& Default();
};

using ApplicationList = Backend<ApplicationListBackend>;

}  // namespace platform
