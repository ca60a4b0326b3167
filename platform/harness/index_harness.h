#pragma once
// Seeding and inspection of the simulated backup index: components' extent
// bitmaps, replies queued for the next matching browse, the request log, and
// the subclients' indexing-V2 switch.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/indexing/index_carry_forward.h"
#include "platform/indexing/index_extent_bitmaps.h"
#include "platform/indexing/index_extent_view.h"
#include "platform/indexing/index_request_log.h"

namespace blbsim {

// Replaces a component's extent bitmap: from bytes, or from a file of raw
// bytes on this machine.
bool SetIndexExtentBitmap(uint64_t cellId, uint64_t appId, const std::string& component, const std::string& bitmap);
bool SetIndexExtentBitmapFrom(uint64_t cellId, uint64_t appId, const std::string& component,
                              const std::string& sourcePath);
std::vector<platform::IndexExtentBitmapRecord> IndexExtentBitmaps();

// Replaces a volume's extent view with the lines of `text`, each "ID HASH":
// the extent id in decimal and the hash as md5sum prints it (32 lower-case
// hexadecimal digits); blank lines are skipped. False, with the reason, for
// any other line or an id given twice; nothing is changed then.
bool SetIndexExtentView(const platform::IndexExtentViewKey& key, const std::string& text, std::string* why);
bool SetIndexExtentViewFrom(const platform::IndexExtentViewKey& key, const std::string& sourcePath, std::string* why);
// The volume's extent view as "ID HASH" lines, ascending.
std::string IndexExtentViewText(const platform::IndexExtentViewKey& key);

// Queues a reply (a databrowse::BrowseResponseList in the codec's text) for
// the next browse of the request type (any when none) with a path holding
// pathPart (any when empty); false, with the reason, when it is refused.
bool QueueIndexReply(const std::string& reply, std::optional<int64_t> requestType, const std::string& pathPart,
                     std::string* why);
bool QueueIndexReplyFrom(const std::string& sourcePath, std::optional<int64_t> requestType, const std::string& pathPart,
                         std::string* why);

// The requests logged, and the job's carry-forward records; each throws for
// a read that failed (harness_reads.h).
std::vector<platform::IndexRequestRecord> IndexRequests();
std::vector<platform::IndexCarryForwardRecord> IndexCarryForwards(uint64_t jobId);
bool ClearIndexRequests();

// Publishes one item of a job as its indexing connection would: the archive
// file created at `createTime`, the index metadata record (holding `data`
// as its data text when given) and the header of `path`.
bool PublishIndexItem(uint64_t jobId, uint64_t createTime, const std::string& path, bool folder,
                      const std::optional<std::string>& data = std::nullopt);

// False when the subclient is unknown.
bool SetIndexingV2(uint64_t cellId, uint64_t appId, bool on);

}  // namespace blbsim
