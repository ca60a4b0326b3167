#pragma once
// The schema of the state database, versioned with PRAGMA user_version.
//
// Every table of every simulated service is made here, by an ordered list of
// steps: step i brings a database from version i to version i + 1. Opening a
// database runs the steps it lacks, in one transaction; a database whose
// version is above this build's is refused, since its tables may mean
// something this build does not know.
//
// To add a table, a column or an index: append a step to kSteps in
// state_schema.cc. Never change a step that has been committed: databases
// made by earlier builds have already run it.
#include <sqlite3.h>

#include <string>

namespace platform {

// The version this build makes: the number of steps.
int StateSchemaVersion();

// Runs the steps from the database's version up to `target` in one
// transaction. False, with the reason, when the database is newer than the
// target or a step fails; nothing is changed then.
bool MigrateStateSchema(sqlite3* db, const std::string& path, int target, std::string& error);

}  // namespace platform
