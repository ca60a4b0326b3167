#include "subclient_volumes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/harness/application_harness.h"
#include "platform/harness/seed.h"
#include "platform/harness/sim_harness.h"
#include "support/state_db_read_failure.h"
#include "support/test_platform.h"

namespace {

using testing_support::StateDbReadFault;

// Subclient 2:7 of client 2, block-level, of type 29 and in no backup set;
// client 2 lacks type 29 and has a backup set of it; the job backs up one
// volume of the contents and one they lack.
void SeedSubclientLackingAll() {
  platform::SubclientRecord subclient;
  subclient.cellId = 2;
  subclient.appId = 7;
  subclient.clientId = 2;
  subclient.blockLevelFlags = platform::SubclientRecord::kBlockLevel;
  subclient.appType = 29;
  ASSERT_TRUE(blbsim::AddSubclient(subclient));
  ASSERT_TRUE(blbsim::SetSubclientContents(2, 7, {"/mnt/other", "/mnt/kept"}));
  ASSERT_TRUE(blbsim::SetApplicationTypes(2, {{19, "kept type"}}));
  ASSERT_TRUE(blbsim::AddBackupSet({4, 2, 29, 0, "kept set"}));
  ASSERT_TRUE(blbsim::AddBackupSet({5, 3, 29, 0, "other client's set"}));
}

blbjob::Command JobOfSubclient() {
  blbjob::Command command;
  command.jobArgs = {"-a", "2:7", "-j", "1001", "-t", "1", "-d", "stow1", "-jt", "TOK"};
  command.job = TarvosJobInfo(command.jobArgs);
  EXPECT_EQ(command.job.ParseArgs(false), 0);
  return command;
}

std::vector<SMVolBlock> Volumes() {
  std::vector<SMVolBlock> volumes(2);
  volumes[0].sVolume = "/mnt/kept";
  volumes[1].sVolume = "/mnt/new";
  return volumes;
}

// What the services record of the configuration and the application list.
std::string Recorded() {
  std::string recorded, part;
  for (const char* service : {"agent_config", "application_list"}) {
    EXPECT_TRUE(blbsim::DumpService(service, part));
    recorded += part;
  }
  return recorded;
}

// Every read of the subclient bookkeeping in the order it makes them: each
// is made once to find what the subclient lacks and once more inside the
// transaction that adds it.
const char* const kReads[] = {"FROM subclients WHERE cell_id",    "FROM clients WHERE id",
                              "FROM backup_sets ORDER BY id",     "FROM application_types WHERE",
                              "FROM backup_sets WHERE client_id", "FROM subclient_contents WHERE"};

}  // namespace

// A read failed at each read of the bookkeeping, with each fault SQLite may
// meet: no recorded row disappears or changes, and the bookkeeping fails or
// records what it records without the fault. A read that fails without
// SQLite ending the transaction is what no guard of the transaction stops:
// taken for fewer rows, it would replace the contents or the application
// types without what it missed, or put the subclient in a new backup set.
TEST(SubclientVolumes, AFailedReadNeverRewritesTheSubclientsBookkeeping) {
  testing_support::ScopedStateDir state;
  SeedSubclientLackingAll();
  const std::string before = Recorded();
  ASSERT_FALSE(blbjob::EnsureSubclientBacksUpVolumes(JobOfSubclient(), 0, Volumes()).IsError());
  const std::string added = Recorded();
  EXPECT_EQ(blbsim::SubclientContents(2, 7), (std::vector<std::string>{"/mnt/other", "/mnt/kept", "/mnt/new"}));
  EXPECT_EQ(blbsim::ApplicationTypes(2).size(), 2u);
  EXPECT_EQ(blbsim::FindSubclient(2, 7)->backupSetId, 4u);

  for (const char* read : kReads) {
    for (int occurrence : {1, 2}) {
      for (StateDbReadFault fault : {StateDbReadFault::kIoError, StateDbReadFault::kOutOfMemory,
                                     StateDbReadFault::kCorruptPage, StateDbReadFault::kDenied}) {
        SCOPED_TRACE(std::string(read) + " #" + std::to_string(occurrence) + ", " + testing_support::Describe(fault));
        ASSERT_TRUE(blbsim::ResetStateDir());
        SeedSubclientLackingAll();
        CQiError error;
        {
          testing_support::ScopedStateDbReadFailure disk;
          disk.FailReadOf(read, occurrence, fault);
          error = blbjob::EnsureSubclientBacksUpVolumes(JobOfSubclient(), 0, Volumes());
          EXPECT_TRUE(disk.Struck());
        }
        EXPECT_EQ(Recorded(), error.IsError() ? before : added) << error.AsString();
      }
    }
  }
}
