// The pool maps of the simulated volume-manager library, in the state database.
#include <mutex>
#include <optional>

#include "platform/lvm/lvm.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

StateDb& Db() {
  return StateDb::Current();
}

// The group of the name with its volumes; an empty one when there is none.
StateDbResult ReadGroup(const std::string& name, LVM::VG& vg) {
  vg = LVM::VG();
  SqlStatement group(Db(), "SELECT uuid, format, attributes, size, free FROM lvm_groups WHERE name = ?;");
  group.Bind(1, name);
  std::optional<LVM::VG> found;
  StateDbResult read = ReadFirstRow(group, found, [&name](const SqlStatement& row) {
    LVM::VG made;
    made.name = name;
    made.uuid = row.Text(0);
    made.format = row.Text(1);
    made.attributes = row.Text(2);
    made.size = row.Text(3);
    made.free = row.Text(4);
    return made;
  });
  if (!read || !found) return read;
  SqlStatement volumes(Db(), "SELECT name, uuid, device FROM lvm_logical_volumes WHERE group_name = ?;");
  volumes.Bind(1, name);
  read = ForEachRow(volumes, [&found](const SqlStatement& row) {
    LVM::LV& lv = found->lv_map[row.Text(0)];
    lv.name = row.Text(0);
    lv.uuid = row.Text(1);
    lv.device = row.Text(2);
  });
  if (!read) return read;
  SqlStatement members(Db(),
                       "SELECT volume, physical_volume FROM lvm_volume_members WHERE group_name = ? "
                       "ORDER BY volume, position;");
  members.Bind(1, name);
  read = ForEachRow(members,
                    [&found](const SqlStatement& row) { found->lv_map[row.Text(0)].pv_names.push_back(row.Text(1)); });
  if (!read) return read;
  SqlStatement physical(Db(), "SELECT name, uuid, device, size FROM lvm_physical_volumes WHERE group_name = ?;");
  physical.Bind(1, name);
  read = ForEachRow(physical, [&found](const SqlStatement& row) {
    LVM::PV& pv = found->pv_map[row.Text(0)];
    pv.name = row.Text(0);
    pv.uuid = row.Text(1);
    pv.device = row.Text(2);
    pv.size = row.Text(3);
  });
  if (read) vg = std::move(*found);
  return read;
}

bool DeleteGroup(const std::string& name) {
  for (const char* sql :
       {"DELETE FROM lvm_groups WHERE name = ?;", "DELETE FROM lvm_logical_volumes WHERE group_name = ?;",
        "DELETE FROM lvm_volume_members WHERE group_name = ?;",
        "DELETE FROM lvm_physical_volumes WHERE group_name = ?;"}) {
    SqlStatement remove(Db(), sql);
    remove.Bind(1, name);
    if (!remove.Run()) return false;
  }
  return true;
}

bool InsertGroup(const LVM::VG& vg) {
  SqlStatement group(Db(),
                     "INSERT INTO lvm_groups (name, uuid, format, attributes, size, free) VALUES (?, ?, ?, ?, ?, ?);");
  group.Bind(1, vg.name).Bind(2, vg.uuid).Bind(3, vg.format).Bind(4, vg.attributes).Bind(5, vg.size).Bind(6, vg.free);
  if (!group.Run()) return false;
  for (const auto& [name, lv] : vg.lv_map) {
    SqlStatement volume(Db(), "INSERT INTO lvm_logical_volumes (group_name, name, uuid, device) VALUES (?, ?, ?, ?);");
    volume.Bind(1, vg.name).Bind(2, name).Bind(3, lv.uuid).Bind(4, lv.device);
    if (!volume.Run()) return false;
    long long position = 0;
    for (const std::string& pv : lv.pv_names) {
      SqlStatement member(Db(),
                          "INSERT INTO lvm_volume_members (group_name, volume, position, physical_volume) "
                          "VALUES (?, ?, ?, ?);");
      member.Bind(1, vg.name).Bind(2, name).Bind(3, position++).Bind(4, pv);
      if (!member.Run()) return false;
    }
  }
  for (const auto& [name, pv] : vg.pv_map) {
    SqlStatement physical(
        Db(), "INSERT INTO lvm_physical_volumes (group_name, name, uuid, device, size) VALUES (?, ?, ?, ?, ?);");
    physical.Bind(1, vg.name).Bind(2, name).Bind(3, pv.uuid).Bind(4, pv.device).Bind(5, pv.size);
    if (!physical.Run()) return false;
  }
  return true;
}

class DatabaseLvm : public LvmBackend {
 public:
  StateDbResult GroupOfLogicalVolume(const std::string& device, LVM::VG& group) override {
    group = LVM::VG();
    SqlStatement query(Db(),
                       "SELECT group_name FROM lvm_logical_volumes WHERE device = ? ORDER BY group_name LIMIT 1;");
    query.Bind(1, device);
    std::optional<std::string> name;
    const StateDbResult read = ReadFirstRow(query, name, [](const SqlStatement& row) { return row.Text(0); });
    if (!read || !name) return read;
    return ReadGroup(*name, group);
  }

  void CountQuery(const std::string& device) override {
    SqlStatement count(Db(),
                       "INSERT INTO lvm_queries (device, count) VALUES (?, 1) "
                       "ON CONFLICT (device) DO UPDATE SET count = count + 1;");
    count.Bind(1, device).Run();
  }

  StateDbResult Queries(const std::string& device, uint64_t& count) override {
    SqlStatement query(Db(), "SELECT count FROM lvm_queries WHERE device = ?;");
    query.Bind(1, device);
    std::optional<uint64_t> found;
    const StateDbResult read = ReadFirstRow(query, found, [](const SqlStatement& row) { return row.Unsigned(0); });
    count = found.value_or(0);
    return read;
  }

  bool PutGroup(const LVM::VG& group) override {
    if (group.name.empty()) return false;
    // A savepoint, not a transaction: a seed writes its groups inside its own.
    StateDb& db = Db();
    std::lock_guard<std::recursive_mutex> guard(db.Mutex());
    if (!db.Exec("SAVEPOINT lvm_put_group;")) return false;
    if (DeleteGroup(group.name) && InsertGroup(group)) return db.Exec("RELEASE lvm_put_group;").ok();
    db.Exec("ROLLBACK TO lvm_put_group; RELEASE lvm_put_group;");
    return false;
  }

  StateDbResult Groups(std::vector<LVM::VG>& groups) override {
    groups.clear();
    std::vector<std::string> names;
    SqlStatement query(Db(), "SELECT name FROM lvm_groups ORDER BY name;");
    StateDbResult read = ReadRows(query, names, [](const SqlStatement& row) { return row.Text(0); });
    for (size_t next = 0; read && next < names.size(); ++next) {
      LVM::VG group;
      read = ReadGroup(names[next], group);
      if (!group.name.empty()) groups.push_back(std::move(group));
    }
    if (!read) groups.clear();
    return read;
  }

  bool ClearGroups() override {
    return Db()
        .Exec(
            "DELETE FROM lvm_groups; DELETE FROM lvm_logical_volumes; DELETE FROM lvm_volume_members; "
            "DELETE FROM lvm_physical_volumes; DELETE FROM lvm_queries;")
        .ok();
  }
};

}  // namespace

LvmBackend& LvmBackend::Default() {
  static DatabaseLvm* backend = new DatabaseLvm();
  return *backend;
}

}  // namespace platform
