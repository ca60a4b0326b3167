#include "platform/sim/state_db.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

#include "platform/config/agent_config.h"
#include "platform/harness/job_info_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/jobs/bkp_job_client.h"
#include "platform/lvm/lvm.h"
#include "platform/settings/settings.h"
#include "platform/sim/fs_util.h"
#include "platform/sim/state_schema.h"
#include "support/state_db_read_failure.h"
#include "support/test_platform.h"

namespace {

using testing_support::ScopedStateDir;

// A database made outside the platform, at the given schema version, with
// the statements run after it; the state directory then points at it.
void MakeDatabase(const std::string& dir, int version, const std::string& statements) {
  ASSERT_TRUE(platform::MakeDirectories(dir));
  const std::string path = dir + "/agent.db";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  std::string error;
  EXPECT_TRUE(platform::MigrateStateSchema(db, path, version, error)) << error;
  EXPECT_EQ(sqlite3_exec(db, statements.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
  platform::Settings::SetStateDir(dir.c_str());
}

long long UserVersion() {
  platform::SqlStatement query(platform::StateDb::Current(), "PRAGMA user_version;");
  return query.Step() ? query.Int(0) : -1;
}

}  // namespace

TEST(StateDb, ANewerDatabaseIsRefusedByNameUntilReset) {
  ScopedStateDir state;
  const std::string dir = state.Sub("newer");
  MakeDatabase(dir, platform::StateSchemaVersion(),
               "PRAGMA user_version = " + std::to_string(platform::StateSchemaVersion() + 1) + ";");
  try {
    platform::StateDb::Current();
    ADD_FAILURE() << "a newer database was opened";
  } catch (const platform::StateDbError& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find(dir + "/agent.db"), std::string::npos) << message;
    EXPECT_NE(message.find("newer than this build"), std::string::npos) << message;
  }
  // Every service that needs it fails the same way, not in a stranger one.
  EXPECT_THROW(blbsim::LocalClientId(), platform::StateDbError);

  ASSERT_TRUE(blbsim::ResetStateDir());
  EXPECT_EQ(UserVersion(), platform::StateSchemaVersion());
  EXPECT_EQ(blbsim::LocalClientId(), 2u);
}

TEST(StateDb, AnOlderDatabaseIsMigratedWithItsRows) {
  ScopedStateDir state;
  ASSERT_GE(platform::StateSchemaVersion(), 2);
  const std::string dir = state.Sub("older");
  MakeDatabase(dir, platform::StateSchemaVersion() - 1,
               "INSERT INTO clients (id, name, job_results_dir) VALUES (9, 'old', '/jr');"
               "INSERT INTO archive_files (afile_id, job_id, app_id, cell_id, afile_type) VALUES (4, 10, 7, 2, 1);");
  std::optional<platform::ClientRecord> client = blbsim::FindClient(9);
  ASSERT_TRUE(client.has_value());
  EXPECT_EQ(client->name, "old");
  EXPECT_EQ(client->jobResultsDir, "/jr");
  EXPECT_EQ(UserVersion(), platform::StateSchemaVersion());
  platform::SqlStatement afiles(platform::StateDb::Current(), "SELECT count(*) FROM archive_files;");
  ASSERT_TRUE(afiles.Step());
  EXPECT_EQ(afiles.Int(0), 1);

  // A database made before the schema had a version, with its tables and
  // rows, is taken as it is and given the steps after.
  const std::string unversioned = state.Sub("unversioned");
  MakeDatabase(unversioned, 1, "INSERT INTO clients (id, name) VALUES (3, 'kept'); PRAGMA user_version = 0;");
  ASSERT_TRUE(blbsim::FindClient(3).has_value());
  EXPECT_EQ(UserVersion(), platform::StateSchemaVersion());
}

// A refused change names its own cause, never one an earlier failure left:
// the cause comes back from the call that failed.
TEST(StateDb, ARefusedChangeNamesItsOwnCause) {
  ScopedStateDir state;
  platform::SqlStatement broken(platform::StateDb::Current(), "INSERT INTO no_such_table VALUES (1);");
  EXPECT_FALSE(broken.Run());
  EXPECT_NE(broken.Result().Why().find("no such table"), std::string::npos) << broken.Result().Why();

  const platform::StateDbResult times = platform::JobService::Current().SetJobTimes(77, 1, 2);
  EXPECT_EQ(times.Code(), ENOENT);
  const CQiError error = platform::StateDbFailure(FXCODELOC, times, "Cannot store the times of job %d", 77);
  EXPECT_EQ(error.GetMessage(), "Cannot store the times of job 77: no job 77 in the job service");

  const platform::StateDbResult put = blbsim::PutJobInfoFileFrom(77, "c", "n", state.Sub("missing"));
  EXPECT_EQ(put.Code(), ENOENT);
  EXPECT_EQ(put.Why(), "cannot read " + state.Sub("missing"));

  const platform::StateDbResult refused =
      platform::StateDb::Current().Transaction([] { return platform::StateDbResult::Refused(EINVAL, "given up"); });
  EXPECT_EQ(refused.Code(), EINVAL);
  EXPECT_TRUE(platform::StateDb::Current().Transaction([] { return platform::StateDbResult(); }));
}

// A statement whose failure made SQLite roll the transaction back ends the
// change: what follows it in the transaction, a statement or what is sent
// through Exec (a savepoint above all, which would open a transaction of its
// own and commit alone), does not run on its own and commit, and the change
// fails.
TEST(StateDb, NothingRunsOnItsOwnAfterAFailureEndedTheTransaction) {
  ScopedStateDir state;
  platform::StateDb& db = platform::StateDb::Current();
  ASSERT_TRUE(db.Exec("INSERT INTO clients (id, name) VALUES (40, 'kept');"));
  const auto count = [] {
    platform::SqlStatement query(platform::StateDb::Current(), "SELECT count(*) FROM clients WHERE id >= 40;");
    return query.Step() ? query.Int(0) : -1;
  };
  platform::StateDbResult added, executed;
  bool groupPut = true;
  {
    testing_support::ScopedStateDbReadFailure disk;
    disk.FailFirstReadOf("FROM clients WHERE name");
    platform::StateDb& reopened = platform::StateDb::Current();
    const platform::StateDbResult changed = reopened.Transaction([&] {
      platform::SqlStatement read(reopened, "SELECT id FROM clients WHERE name = 'kept';");
      EXPECT_FALSE(read.Step());
      EXPECT_FALSE(read.ok());
      platform::SqlStatement insert(reopened, "INSERT INTO clients (id, name) VALUES (41, 'added');");
      insert.Run();
      added = insert.Result();
      executed = reopened.Exec("INSERT INTO clients (id, name) VALUES (42, 'executed');");
      LVM::VG group;
      group.name = "tank";
      groupPut = platform::Lvm::Current().PutGroup(group);
      return platform::StateDbResult();
    });
    EXPECT_TRUE(disk.Struck());
    EXPECT_EQ(changed.Code(), ECANCELED);
  }
  EXPECT_EQ(added.Code(), ECANCELED);
  EXPECT_EQ(executed.Code(), ECANCELED);
  EXPECT_FALSE(groupPut);
  EXPECT_EQ(count(), 1);
  std::vector<LVM::VG> groups;
  ASSERT_TRUE(platform::Lvm::Current().Groups(groups));
  EXPECT_TRUE(groups.empty());
}

// A read that fails without SQLite ending the transaction is told from a
// read of no rows by every reader, with nothing read; the transaction goes
// on, and the rows read again.
TEST(StateDb, AReadFailedWithoutARollbackIsNoReadOfNothing) {
  ScopedStateDir state;
  ASSERT_TRUE(platform::StateDb::Current().Exec("INSERT INTO clients (id, name) VALUES (40, 'kept');"));
  testing_support::ScopedStateDbReadFailure disk;
  platform::StateDb& db = platform::StateDb::Current();
  const auto name = [](const platform::SqlStatement& row) { return row.Text(0); };
  const platform::StateDbResult changed = db.Transaction([&] {
    std::vector<std::string> rows{"stale"};
    std::optional<std::string> first = "stale";
    size_t seen = 0;
    for (const char* reader : {"rows", "first row", "each row"}) {
      SCOPED_TRACE(reader);
      disk.FailReadOf("FROM clients WHERE id", 1, testing_support::StateDbReadFault::kDenied);
      platform::SqlStatement query(db, "SELECT name FROM clients WHERE id = 40;");
      platform::StateDbResult read;
      if (reader == std::string("rows")) read = platform::ReadRows(query, rows, name);
      if (reader == std::string("first row")) read = platform::ReadFirstRow(query, first, name);
      if (reader == std::string("each row"))
        read = platform::ForEachRow(query, [&](const platform::SqlStatement&) { ++seen; });
      EXPECT_TRUE(disk.Struck());
      EXPECT_FALSE(read.ok());
      EXPECT_FALSE(db.TransactionEndedBySqlite());
    }
    EXPECT_TRUE(rows.empty());
    EXPECT_FALSE(first.has_value());
    EXPECT_EQ(seen, 0u);
    platform::SqlStatement again(db, "SELECT name FROM clients WHERE id = 40;");
    EXPECT_TRUE(platform::ReadRows(again, rows, name));
    EXPECT_EQ(rows, std::vector<std::string>{"kept"});
    return platform::StateDbResult();
  });
  EXPECT_TRUE(changed) << changed.Why();
}
