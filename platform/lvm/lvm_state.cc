// The pool maps of the simulated volume-manager library, in the state database.
#include <mutex>
#include <optional>

#include "platform/lvm/lvm.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

StateDb& Db() { return StateDb::Current(); }

std::optional<LVM::VG> ReadGroup(const std::string& name) {
  SqlStatement group(Db(), "SELECT uuid, format, attributes, size, free FROM lvm_groups WHERE name = ?;");
  group.Bind(1, name);
  if (!group.Step()) return std::nullopt;
  LVM::VG vg;
  vg.name = name;
  vg.uuid = group.Text(0);
  vg.format = group.Text(1);
  vg.attributes = group.Text(2);
  vg.size = group.Text(3);
  vg.free = group.Text(4);
  SqlStatement volumes(Db(), "SELECT name, uuid, device FROM lvm_logical_volumes WHERE group_name = ?;");
  volumes.Bind(1, name);
  while (volumes.Step()) {
    LVM::LV& lv = vg.lv_map[volumes.Text(0)];
    lv.name = volumes.Text(0);
    lv.uuid = volumes.Text(1);
    lv.device = volumes.Text(2);
  }
  SqlStatement members(Db(),
                       "SELECT volume, physical_volume FROM lvm_volume_members WHERE group_name = ? "
                       "ORDER BY volume, position;");
  members.Bind(1, name);
  while (members.Step()) vg.lv_map[members.Text(0)].pv_names.push_back(members.Text(1));
  SqlStatement physical(Db(), "SELECT name, uuid, device, size FROM lvm_physical_volumes WHERE group_name = ?;");
  physical.Bind(1, name);
  while (physical.Step()) {
    LVM::PV& pv = vg.pv_map[physical.Text(0)];
    pv.name = physical.Text(0);
    pv.uuid = physical.Text(1);
    pv.device = physical.Text(2);
    pv.size = physical.Text(3);
  }
  return vg;
}

bool DeleteGroup(const std::string& name) {
  for (const char* sql : {"DELETE FROM lvm_groups WHERE name = ?;", "DELETE FROM lvm_logical_volumes WHERE group_name = ?;",
                          "DELETE FROM lvm_volume_members WHERE group_name = ?;",
                          "DELETE FROM lvm_physical_volumes WHERE group_name = ?;"}) {
    SqlStatement remove(Db(), sql);
    remove.Bind(1, name);
    if (!remove.Run()) return false;
  }
  return true;
}

bool InsertGroup(const LVM::VG& vg) {
  SqlStatement group(Db(), "INSERT INTO lvm_groups (name, uuid, format, attributes, size, free) VALUES (?, ?, ?, ?, ?, ?);");
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
    SqlStatement physical(Db(),
                          "INSERT INTO lvm_physical_volumes (group_name, name, uuid, device, size) VALUES (?, ?, ?, ?, ?);");
    physical.Bind(1, vg.name).Bind(2, name).Bind(3, pv.uuid).Bind(4, pv.device).Bind(5, pv.size);
    if (!physical.Run()) return false;
  }
  return true;
}

class DatabaseLvm : public LvmBackend {
 public:
  LVM::VG GroupOfLogicalVolume(const std::string& device) override {
    SqlStatement query(Db(), "SELECT group_name FROM lvm_logical_volumes WHERE device = ? ORDER BY group_name LIMIT 1;");
    query.Bind(1, device);
    if (!query.Step()) return LVM::VG();
    return ReadGroup(query.Text(0)).value_or(LVM::VG());
  }

  void CountQuery(const std::string& device) override {
    SqlStatement count(Db(),
                       "INSERT INTO lvm_queries (device, count) VALUES (?, 1) "
                       "ON CONFLICT (device) DO UPDATE SET count = count + 1;");
    count.Bind(1, device).Run();
  }

  uint64_t Queries(const std::string& device) override {
    SqlStatement query(Db(), "SELECT count FROM lvm_queries WHERE device = ?;");
    query.Bind(1, device);
    return query.Step() ? query.Unsigned(0) : 0;
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

  std::vector<LVM::VG> Groups() override {
    std::vector<std::string> names;
    SqlStatement query(Db(), "SELECT name FROM lvm_groups ORDER BY name;");
    while (query.Step()) names.push_back(query.Text(0));
    std::vector<LVM::VG> groups;
    for (const std::string& name : names)
      if (std::optional<LVM::VG> group = ReadGroup(name)) groups.push_back(*group);
    return groups;
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
