#include "platform/indexing/index_extent_bitmaps.h"

#include "platform/sim/state_db.h"

namespace platform {

bool PutIndexExtentBitmap(const IndexExtentBitmapRecord& record) {
  SqlStatement put(StateDb::Current(),
                   "INSERT OR REPLACE INTO index_extent_bitmaps (cell_id, app_id, component, bitmap) "
                   "VALUES (?, ?, ?, ?);");
  put.BindUnsigned(1, record.cellId).BindUnsigned(2, record.appId).Bind(3, record.component);
  return put.BindBlob(4, record.bitmap).Run();
}

std::optional<std::string> FindIndexExtentBitmap(uint64_t cellId, uint64_t appId, const std::string& component) {
  SqlStatement query(StateDb::Current(),
                     "SELECT bitmap FROM index_extent_bitmaps WHERE cell_id = ? AND app_id = ? AND component = ?;");
  query.BindUnsigned(1, cellId).BindUnsigned(2, appId).Bind(3, component);
  if (!query.Step()) return std::nullopt;
  return query.Text(0);
}

std::vector<IndexExtentBitmapRecord> IndexExtentBitmaps() {
  std::vector<IndexExtentBitmapRecord> all;
  SqlStatement query(StateDb::Current(),
                     "SELECT cell_id, app_id, component, bitmap FROM index_extent_bitmaps "
                     "ORDER BY cell_id, app_id, component;");
  while (query.Step()) all.push_back({query.Unsigned(0), query.Unsigned(1), query.Text(2), query.Text(3)});
  return all;
}

}  // namespace platform
