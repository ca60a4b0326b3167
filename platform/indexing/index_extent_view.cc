#include "platform/indexing/index_extent_view.h"

#include <limits>

#include "platform/sim/state_db.h"

namespace platform {

namespace {

// Within a transaction. A view holds a row per extent: the statement is
// prepared once for all of them.
StateDbResult PutRows(StateDb& db, const IndexExtentViewKey& key, const IndexExtentViewRows& rows) {
  SqlStatement put(db,
                   "INSERT OR REPLACE INTO index_extent_views (cell_id, app_id, volume, extent_id, hash) "
                   "VALUES (?, ?, ?, ?, ?);");
  put.BindUnsigned(1, key.cellId).BindUnsigned(2, key.appId).Bind(3, key.volume);
  for (const auto& row : rows)
    if (!put.BindUnsigned(4, row.first).Bind(5, row.second).Run() || !put.Reset()) return put.Result();
  return StateDbResult();
}

}  // namespace

StateDbResult PutIndexExtentView(const IndexExtentViewKey& key, const IndexExtentViewRows& rows) {
  StateDb& db = StateDb::Current();
  return db.Transaction([&] {
    SqlStatement clear(db, "DELETE FROM index_extent_views WHERE cell_id = ? AND app_id = ? AND volume = ?;");
    if (!clear.BindUnsigned(1, key.cellId).BindUnsigned(2, key.appId).Bind(3, key.volume).Run()) return clear.Result();
    return PutRows(db, key, rows);
  });
}

StateDbResult UpdateIndexExtentView(const IndexExtentViewKey& key, const IndexExtentViewRows& rows) {
  StateDb& db = StateDb::Current();
  return db.Transaction([&] { return PutRows(db, key, rows); });
}

StateDbResult IndexExtentViewPage(const IndexExtentViewKey& key, uint64_t first, uint64_t limit,
                                  IndexExtentViewRows& rows) {
  rows.clear();
  const uint64_t largest = static_cast<uint64_t>(std::numeric_limits<long long>::max());
  if (limit == 0 || first > largest) return StateDbResult();
  SqlStatement query(StateDb::Current(),
                     "SELECT extent_id, hash FROM index_extent_views WHERE cell_id = ? AND app_id = ? AND volume = ? "
                     "AND extent_id >= ? ORDER BY extent_id LIMIT ?;");
  query.BindUnsigned(1, key.cellId).BindUnsigned(2, key.appId).Bind(3, key.volume).BindUnsigned(4, first);
  query.BindUnsigned(5, limit > largest ? largest : limit);
  return ReadRows(query, rows, [](const SqlStatement& row) { return std::make_pair(row.Unsigned(0), row.Text(1)); });
}

}  // namespace platform
