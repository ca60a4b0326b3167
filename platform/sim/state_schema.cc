#include "platform/sim/state_schema.h"

#include <cstring>

#include "platform/sim/fs_util.h"
#include "platform/sim/state_db_failure.h"

namespace platform {
namespace {

const char* const kSteps[] = {
    // 1: the tables of the first services. IF NOT EXISTS: a database made
    // before the schema had a version already holds them, with their rows.
    "CREATE TABLE IF NOT EXISTS faults ("
    "  call TEXT PRIMARY KEY,"
    "  code INTEGER NOT NULL,"
    "  mode TEXT NOT NULL DEFAULT 'error',"
    "  remaining INTEGER NOT NULL DEFAULT -1);"
    "CREATE TABLE IF NOT EXISTS events ("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  event_id INTEGER NOT NULL,"
    "  job_id INTEGER NOT NULL,"
    "  flags INTEGER NOT NULL,"
    "  arguments TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS clients ("
    "  id INTEGER PRIMARY KEY,"
    "  name TEXT NOT NULL,"
    "  host_name TEXT NOT NULL DEFAULT '',"
    "  job_results_dir TEXT NOT NULL DEFAULT '',"
    "  install_dir TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE IF NOT EXISTS subclients ("
    "  cell_id INTEGER NOT NULL,"
    "  app_id INTEGER NOT NULL,"
    "  client_id INTEGER NOT NULL,"
    "  proxy_client_id INTEGER NOT NULL DEFAULT 0,"
    "  use_source INTEGER NOT NULL DEFAULT 0,"
    "  block_level_flags INTEGER NOT NULL DEFAULT 0,"
    "  PRIMARY KEY (cell_id, app_id));"
    "CREATE TABLE IF NOT EXISTS local_settings ("
    "  name TEXT PRIMARY KEY,"
    "  value TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS archive_files ("
    "  afile_id INTEGER PRIMARY KEY,"
    "  job_id INTEGER NOT NULL,"
    "  app_id INTEGER NOT NULL,"
    "  cell_id INTEGER NOT NULL,"
    "  afile_type INTEGER NOT NULL,"
    "  cycle_number INTEGER NOT NULL DEFAULT 0,"
    "  create_time INTEGER NOT NULL DEFAULT 0,"
    "  storage_host TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX IF NOT EXISTS archive_files_by_job ON archive_files (job_id, app_id, cell_id);"
    "CREATE TABLE IF NOT EXISTS index_files ("
    "  host TEXT NOT NULL,"
    "  cell_id INTEGER NOT NULL,"
    "  app_id INTEGER NOT NULL,"
    "  job_id INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  stored_time INTEGER NOT NULL,"
    "  PRIMARY KEY (host, cell_id, app_id, job_id, name));"
    "CREATE TABLE IF NOT EXISTS transfers ("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  host TEXT NOT NULL,"
    "  source TEXT NOT NULL,"
    "  destination TEXT NOT NULL,"
    "  bytes INTEGER NOT NULL,"
    "  time INTEGER NOT NULL);",

    // 2: the archive manager selects a snapshot job's archive files by job
    // and cell; every request is logged with all four of its fields.
    "DROP INDEX IF EXISTS archive_files_by_job;"
    "CREATE INDEX archive_files_by_job ON archive_files (job_id, cell_id);"
    "CREATE TABLE archive_requests ("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  job_id INTEGER NOT NULL,"
    "  second_id INTEGER NOT NULL,"
    "  cell_id INTEGER NOT NULL,"
    "  snap_job_id INTEGER NOT NULL);",

    // 3: mounts added to the real mount table. IF NOT EXISTS: made before
    // the schema had a version, a database may hold them already.
    "CREATE TABLE IF NOT EXISTS mounts ("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  device TEXT NOT NULL,"
    "  mount_point TEXT NOT NULL,"
    "  options TEXT NOT NULL,"
    "  fs_type TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS mount_settings ("
    "  name TEXT PRIMARY KEY,"
    "  value INTEGER NOT NULL);",

    // 4: what the content list reads. Clients are active on this machine or
    // not (this machine's own client is) and may be a cluster's virtual
    // client; subclients belong to a backup set or an instance and carry
    // their name, type, snapshot and Oracle settings and their contents;
    // clients have application types, backup sets and instances, whose
    // queries are logged. The Oracle agent's data files, statuses and
    // requests; the volume manager's pool maps and queries.
    "ALTER TABLE clients ADD COLUMN active INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE clients ADD COLUMN virtual INTEGER NOT NULL DEFAULT 0;"
    "UPDATE clients SET active = 1"
    "  WHERE id IN (SELECT CAST(value AS INTEGER) FROM local_settings WHERE name = 'client_id');"
    "ALTER TABLE subclients ADD COLUMN name TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE subclients ADD COLUMN app_type INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE subclients ADD COLUMN backup_set_id INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE subclients ADD COLUMN instance_id INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE subclients ADD COLUMN snap_backup INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE subclients ADD COLUMN oracle_backup_mode INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE subclients ADD COLUMN oracle_snap_image_copy INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE subclients ADD COLUMN oracle_image_copy_dir TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE subclients ADD COLUMN plain_subclient INTEGER NOT NULL DEFAULT 0;"
    "CREATE INDEX subclients_by_backup_set ON subclients (backup_set_id);"
    "CREATE INDEX subclients_by_instance ON subclients (instance_id, client_id, app_type);"
    "CREATE TABLE subclient_contents ("
    "  cell_id INTEGER NOT NULL,"
    "  app_id INTEGER NOT NULL,"
    "  position INTEGER NOT NULL,"
    "  path TEXT NOT NULL,"
    "  PRIMARY KEY (cell_id, app_id, position));"
    "CREATE TABLE application_types ("
    "  client_id INTEGER NOT NULL,"
    "  position INTEGER NOT NULL,"
    "  app_type INTEGER NOT NULL,"
    "  name TEXT NOT NULL DEFAULT '',"
    "  PRIMARY KEY (client_id, position));"
    "CREATE TABLE backup_sets ("
    "  id INTEGER PRIMARY KEY,"
    "  client_id INTEGER NOT NULL,"
    "  app_type INTEGER NOT NULL,"
    "  instance_id INTEGER NOT NULL DEFAULT 0,"
    "  name TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE instances ("
    "  id INTEGER PRIMARY KEY,"
    "  client_id INTEGER NOT NULL,"
    "  app_type INTEGER NOT NULL,"
    "  name TEXT NOT NULL DEFAULT '',"
    "  data_dir TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE application_list_calls ("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  call TEXT NOT NULL,"
    "  client_id INTEGER NOT NULL,"
    "  app_type INTEGER NOT NULL);"
    "CREATE TABLE oracle_files ("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  instance_id INTEGER NOT NULL,"
    "  pdb TEXT NOT NULL DEFAULT '',"
    "  table_space TEXT NOT NULL DEFAULT '',"
    "  path TEXT NOT NULL,"
    "  UNIQUE (instance_id, path));"
    "CREATE TABLE oracle_status ("
    "  instance_id INTEGER PRIMARY KEY,"
    "  status INTEGER NOT NULL);"
    "CREATE TABLE oracle_requests ("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  app_type INTEGER NOT NULL,"
    "  instance_id INTEGER NOT NULL,"
    "  app_id INTEGER NOT NULL,"
    "  kind INTEGER NOT NULL);"
    "CREATE TABLE lvm_groups ("
    "  name TEXT PRIMARY KEY,"
    "  uuid TEXT NOT NULL DEFAULT '',"
    "  format TEXT NOT NULL DEFAULT '',"
    "  attributes TEXT NOT NULL DEFAULT '',"
    "  size TEXT NOT NULL DEFAULT '',"
    "  free TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE lvm_logical_volumes ("
    "  group_name TEXT NOT NULL,"
    "  name TEXT NOT NULL,"
    "  uuid TEXT NOT NULL DEFAULT '',"
    "  device TEXT NOT NULL,"
    "  PRIMARY KEY (group_name, name));"
    "CREATE INDEX lvm_logical_volumes_by_device ON lvm_logical_volumes (device);"
    "CREATE TABLE lvm_volume_members ("
    "  group_name TEXT NOT NULL,"
    "  volume TEXT NOT NULL,"
    "  position INTEGER NOT NULL,"
    "  physical_volume TEXT NOT NULL,"
    "  PRIMARY KEY (group_name, volume, position));"
    "CREATE TABLE lvm_physical_volumes ("
    "  group_name TEXT NOT NULL,"
    "  name TEXT NOT NULL,"
    "  uuid TEXT NOT NULL DEFAULT '',"
    "  device TEXT NOT NULL,"
    "  size TEXT NOT NULL DEFAULT '',"
    "  PRIMARY KEY (group_name, name));"
    "CREATE TABLE lvm_queries ("
    "  device TEXT PRIMARY KEY,"
    "  count INTEGER NOT NULL);",

    // 5: the backup index. Subclients use indexing V2 unless switched off;
    // the index holds components' extent bitmaps; browse replies queued by
    // the harness wait for the next matching request; every Initialize and
    // Browse of a browse client is logged with its request and what
    // answered it.
    "ALTER TABLE subclients ADD COLUMN indexing_v2 INTEGER NOT NULL DEFAULT 1;"
    "CREATE TABLE index_extent_bitmaps ("
    "  cell_id INTEGER NOT NULL,"
    "  app_id INTEGER NOT NULL,"
    "  component TEXT NOT NULL,"
    "  bitmap BLOB NOT NULL,"
    "  PRIMARY KEY (cell_id, app_id, component));"
    "CREATE TABLE index_scripted_replies ("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  request_type INTEGER,"
    "  path_part TEXT NOT NULL DEFAULT '',"
    "  reply TEXT NOT NULL);"
    "CREATE TABLE index_requests ("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  pid INTEGER NOT NULL,"
    "  call TEXT NOT NULL,"
    "  result INTEGER NOT NULL,"
    "  responses INTEGER NOT NULL,"
    "  items INTEGER NOT NULL,"
    "  request TEXT NOT NULL);",

    // 6: the job service's jobs (subclient, level, token, conversions to a
    // full backup) and, per job, the volumes the job command snapshotted:
    // each volume's device, snapshot (with the image that tells it from a
    // later snapshot of the same name), bitmap file and force-full flag.
    "CREATE TABLE jobs ("
    "  job_id INTEGER PRIMARY KEY,"
    "  cell_id INTEGER NOT NULL,"
    "  app_id INTEGER NOT NULL,"
    "  level INTEGER NOT NULL,"
    "  token TEXT NOT NULL DEFAULT '',"
    "  conversions INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE job_volumes ("
    "  job_id INTEGER NOT NULL,"
    "  position INTEGER NOT NULL,"
    "  volume TEXT NOT NULL,"
    "  device TEXT NOT NULL,"
    "  fs_type TEXT NOT NULL DEFAULT '',"
    "  mount_options TEXT NOT NULL DEFAULT '',"
    "  snapshot TEXT NOT NULL DEFAULT '',"
    "  snapshot_image TEXT NOT NULL DEFAULT '',"
    "  bitmap_file TEXT NOT NULL DEFAULT '',"
    "  force_full INTEGER NOT NULL DEFAULT 0,"
    "  PRIMARY KEY (job_id, position));",

    // 7: the job-info metadata: per job its start time and storage type,
    // and the files of its named containers. Every call of a job client,
    // with its arguments and whether it succeeded, by job.
    "CREATE TABLE job_info_jobs ("
    "  job_id INTEGER PRIMARY KEY,"
    "  start_time INTEGER NOT NULL DEFAULT 0,"
    "  metadata_type INTEGER NOT NULL DEFAULT 2);"
    "CREATE TABLE job_info_files ("
    "  job_id INTEGER NOT NULL,"
    "  container TEXT NOT NULL,"
    "  name TEXT NOT NULL,"
    "  contents BLOB NOT NULL,"
    "  stored_time INTEGER NOT NULL,"
    "  PRIMARY KEY (job_id, container, name));"
    "CREATE TABLE job_client_calls ("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  job_id INTEGER NOT NULL,"
    "  call TEXT NOT NULL,"
    "  succeeded INTEGER NOT NULL);"
    "CREATE INDEX job_client_calls_by_job ON job_client_calls (job_id, seq);",

    // 8: the snapshot library and what a snapshot job becomes a backup job
    // with. Clients carry their operating system; subclients their
    // storage-policy copy and archive group; archive files their copy,
    // group, flags and backup level; jobs the snapshot job they convert,
    // their copy and whether their backup copy is done. Volume-snap records
    // are kept in their one text form per (cell, job); snap engines by id.
    // Every snapshot-library call and every indexing connection is logged.
    "ALTER TABLE clients ADD COLUMN os_id INTEGER NOT NULL DEFAULT 49;"
    "ALTER TABLE subclients ADD COLUMN copy_id INTEGER NOT NULL DEFAULT 1;"
    "ALTER TABLE subclients ADD COLUMN group_id INTEGER NOT NULL DEFAULT 1;"
    "ALTER TABLE archive_files ADD COLUMN copy_id INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE archive_files ADD COLUMN group_id INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE archive_files ADD COLUMN flags INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE archive_files ADD COLUMN level INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE jobs ADD COLUMN snap_job_id INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE jobs ADD COLUMN copy_id INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE jobs ADD COLUMN backup_copy_done INTEGER NOT NULL DEFAULT 0;"
    "CREATE TABLE snap_records ("
    "  cell_id INTEGER NOT NULL,"
    "  job_id INTEGER NOT NULL,"
    "  record TEXT NOT NULL,"
    "  PRIMARY KEY (cell_id, job_id));"
    "CREATE TABLE snap_engines ("
    "  engine_id INTEGER PRIMARY KEY,"
    "  name TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE snap_calls ("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  call TEXT NOT NULL,"
    "  request TEXT NOT NULL,"
    "  result INTEGER NOT NULL);"
    "CREATE TABLE index_connections ("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  job_id INTEGER NOT NULL,"
    "  arguments TEXT NOT NULL,"
    "  done INTEGER NOT NULL DEFAULT 0);",

    // 9: what jobs publish to the index over their connections, one line
    // per item in the order sent.
    "CREATE TABLE index_items ("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  connection INTEGER NOT NULL,"
    "  job_id INTEGER NOT NULL,"
    "  line TEXT NOT NULL);"
    "CREATE INDEX index_items_by_job ON index_items (job_id, seq);",

    // 10: a job's quit flag, and the index's extent view: per application and
    // volume, each extent's name and the hash of its content.
    "ALTER TABLE jobs ADD COLUMN quit_flag INTEGER NOT NULL DEFAULT 0;"
    "CREATE TABLE index_extent_views ("
    "  cell_id INTEGER NOT NULL,"
    "  app_id INTEGER NOT NULL,"
    "  volume TEXT NOT NULL,"
    "  extent_id INTEGER NOT NULL,"
    "  hash TEXT NOT NULL,"
    "  PRIMARY KEY (cell_id, app_id, volume, extent_id)) WITHOUT ROWID;",

    // 11: the carry-forward entries the index was asked for; jobs' start and
    // end times; subclients' GUIDs; what a job's job-info upload committed
    // besides its files.
    "ALTER TABLE jobs ADD COLUMN start_time INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE jobs ADD COLUMN end_time INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE subclients ADD COLUMN guid TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE job_info_jobs ADD COLUMN store_flags INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE job_info_jobs ADD COLUMN additional_flags INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE job_info_jobs ADD COLUMN afile_id INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE job_info_jobs ADD COLUMN delimiter TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE job_info_jobs ADD COLUMN uploaded INTEGER NOT NULL DEFAULT 0;"
    "CREATE TABLE index_carry_forward ("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  job_id INTEGER NOT NULL,"
    "  source_job_id INTEGER NOT NULL,"
    "  view TEXT NOT NULL,"
    "  component TEXT NOT NULL,"
    "  path TEXT NOT NULL,"
    "  afile_id INTEGER NOT NULL,"
    "  group_id INTEGER NOT NULL,"
    "  flags INTEGER NOT NULL,"
    "  value INTEGER NOT NULL,"
    "  from_time INTEGER NOT NULL,"
    "  to_time INTEGER NOT NULL,"
    "  timeout INTEGER NOT NULL);",
    // The job manager's attribute bits of a job.
    "ALTER TABLE jobs ADD COLUMN attributes INTEGER NOT NULL DEFAULT 0;"
    // The nodes of an Oracle RAC instance, in their order.
    "CREATE TABLE oracle_rac_nodes ("
    "  instance_id INTEGER NOT NULL,"
    "  position INTEGER NOT NULL,"
    "  client_id INTEGER NOT NULL,"
    "  PRIMARY KEY (instance_id, position));"
    // The entries database agents wrote into a job's index themselves.
    "CREATE TABLE index_agent_entries ("
    "  cell_id INTEGER NOT NULL,"
    "  app_id INTEGER NOT NULL,"
    "  job_id INTEGER NOT NULL,"
    "  path TEXT NOT NULL,"
    "  view TEXT NOT NULL DEFAULT '',"
    "  afile_id INTEGER NOT NULL,"
    "  guid TEXT NOT NULL DEFAULT '',"
    "  group_id INTEGER NOT NULL DEFAULT 0,"
    "  mount_point INTEGER NOT NULL DEFAULT 0,"
    "  PRIMARY KEY (cell_id, app_id, job_id, view, path));"
    // A job's key-value containers, per storage type (1 index, 2 reference
    // copy), each a serialised bag.
    "CREATE TABLE job_info_bags ("
    "  job_id INTEGER NOT NULL,"
    "  container TEXT NOT NULL,"
    "  storage_type INTEGER NOT NULL,"
    "  bag TEXT NOT NULL,"
    "  PRIMARY KEY (job_id, container, storage_type));",
    // The copy id the snap utility gives a job's archives of one type
    // (1 data, 4 log) when the harness settles it.
    "CREATE TABLE snap_util_copy_ids ("
    "  job_id INTEGER NOT NULL,"
    "  archive_type INTEGER NOT NULL,"
    "  copy_id INTEGER NOT NULL,"
    "  PRIMARY KEY (job_id, archive_type));",
};

constexpr int kVersion = static_cast<int>(sizeof kSteps / sizeof kSteps[0]);

bool Exec(sqlite3* db, const std::string& sql, std::string& error) {
  char* message = nullptr;
  const int result = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  if (result == SQLITE_OK) return true;
  error = message != nullptr ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  // SQLite says what it could not do ("unable to open database file"); the
  // system says why.
  const char* file = sqlite3_db_filename(db, "main");
  if (const int cause = StateDbSystemCause(db, result, file != nullptr ? file : ""))
    error += std::string(": ") + std::strerror(cause);
  return false;
}

int UserVersion(sqlite3* db) {
  sqlite3_stmt* query = nullptr;
  int version = -1;
  if (sqlite3_prepare_v2(db, "PRAGMA user_version;", -1, &query, nullptr) == SQLITE_OK &&
      sqlite3_step(query) == SQLITE_ROW)
    version = sqlite3_column_int(query, 0);
  sqlite3_finalize(query);
  return version;
}

}  // namespace

int StateSchemaVersion() {
  return kVersion;
}

bool MigrateStateSchema(sqlite3* db, const std::string& path, int target, std::string& error) {
  if (db == nullptr) {
    error = "cannot open the state database " + path;
    return false;
  }
  if (target > kVersion) target = kVersion;
  // IMMEDIATE: two processes opening a new state directory at once migrate
  // it one after the other, the second finding nothing left to do.
  if (!Exec(db, "BEGIN IMMEDIATE;", error)) {
    error = "cannot migrate the state database " + path + ": " + error;
    return false;
  }
  const int version = UserVersion(db);
  bool ok = version >= 0;
  if (!ok) error = "cannot read the schema version of the state database " + path;
  if (ok && version > target) {
    error = "the state database " + path + " in the state directory " + ParentOf(path) + " has schema version " +
            std::to_string(version) + ", newer than this build's " + std::to_string(target) +
            "; use a newer build, or start over with 'blbsim init --reset'";
    ok = false;
  }
  for (int step = version; ok && step < target; ++step) {
    if (!Exec(db, kSteps[step], error)) {
      error = "cannot migrate the state database " + path + " to version " + std::to_string(step + 1) + ": " + error;
      ok = false;
    }
  }
  if (ok && version < target) ok = Exec(db, "PRAGMA user_version = " + std::to_string(target) + ";", error);
  std::string ignored;
  if (!ok) {
    Exec(db, "ROLLBACK;", ignored);
    return false;
  }
  return Exec(db, "COMMIT;", error);
}

}  // namespace platform
