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

StateDbResult FindIndexExtentBitmap(uint64_t cellId, uint64_t appId, const std::string& component,
                                    std::optional<std::string>& bitmap) {
  SqlStatement query(StateDb::Current(),
                     "SELECT bitmap FROM index_extent_bitmaps WHERE cell_id = ? AND app_id = ? AND component = ?;");
  query.BindUnsigned(1, cellId).BindUnsigned(2, appId).Bind(3, component);
  return ReadFirstRow(query, bitmap, [](const SqlStatement& row) { return row.Text(0); });
}

StateDbResult IndexExtentBitmaps(std::vector<IndexExtentBitmapRecord>& records) {
  SqlStatement query(StateDb::Current(),
                     "SELECT cell_id, app_id, component, bitmap FROM index_extent_bitmaps "
                     "ORDER BY cell_id, app_id, component;");
  return ReadRows(query, records, [](const SqlStatement& row) {
    return IndexExtentBitmapRecord{row.Unsigned(0), row.Unsigned(1), row.Text(2), row.Text(3)};
  });
}

}  // namespace platform
