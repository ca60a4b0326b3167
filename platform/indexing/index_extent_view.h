#pragma once
// The simulated index's extent view: per application (VornCell id and
// application id) and volume, the hash of each extent's content as the
// index's last backup of the volume recorded it. Kept in the state
// database's `index_extent_views` table.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/state_db_failure.h"

namespace platform {

struct IndexExtentViewKey {
  uint64_t cellId = 0;
  uint64_t appId = 0;
  std::string volume;
};

// (extent id, hash text), ascending by extent id.
using IndexExtentViewRows = std::vector<std::pair<uint64_t, std::string>>;

// Replaces the volume's view with the rows; why not, when they cannot be
// stored.
StateDbResult PutIndexExtentView(const IndexExtentViewKey& key, const IndexExtentViewRows& rows);
// Adds the rows to the volume's view, replacing those of the same extents,
// as a backup of some of the volume's extents leaves the index.
StateDbResult UpdateIndexExtentView(const IndexExtentViewKey& key, const IndexExtentViewRows& rows);
// At most `limit` rows from extent `first` upward; done, or why they could
// not be read.
StateDbResult IndexExtentViewPage(const IndexExtentViewKey& key, uint64_t first, uint64_t limit,
                                  IndexExtentViewRows& rows);

}  // namespace platform
