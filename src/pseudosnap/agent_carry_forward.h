#pragma once
// What the database variants' carry-forward hooks share: the browse of the
// snapshot job's agent entries, its copy precedence, and the retry of a
// browse the index answers with "partial" (code 2).
#include <cstdint>
#include <vector>

#include "platform/error/qi_error.h"
#include "platform/indexing/idx_browse_client.h"
#include "platform/messages/service_messages.h"

namespace pseudosnap {

constexpr int64_t kBrowseCodeOk = 0;
constexpr int64_t kBrowseCodeRetry = 2;
constexpr int64_t kBrowseCodeNothingFound = 5;
// The failure of a browse that found nothing to carry forward.
constexpr const char* kEmptyResultText = "Error Updating index,query resulted empty result set";
// The precedence that asks for the snapshot copy.
constexpr uint64_t kSnapCopyPrecedence = 0xFFFFFFFBu;

// The request's fixed fields: type, the application, the time range, mode
// 2, the advanced options (copy precedence) and one query of every item.
databrowse::BrowseRequest AgentBrowseRequest(int64_t requestType, uint32_t cellId, uint32_t appId, uint32_t appType,
                                             const databrowse::BrowseTimeRange& timeRange, uint64_t copyPrecedence);
void SetBrowsePaths(databrowse::BrowseRequest& request, const std::vector<std::string>& paths);

// Browses until the first response's code is other than 2, sleeping 30
// seconds between tries, at most five tries; code is then the first
// response's. Fails with -1 for a client or browse failure, a reply
// without responses, and code 2 at the fifth try (logging that the count
// reached its maximum when logMaxRetries). Client and browse failures are
// logged at failureLevel.
CQiError BrowseWithRetry(IdxBrowseClient& client, const databrowse::BrowseRequest& request,
                         databrowse::BrowseResponseList& reply, bool logMaxRetries, int failureLevel, int64_t& code);

// The items of every response of the reply, in order.
std::vector<CNMessageBase> ReplyItems(const databrowse::BrowseResponseList& reply);

// The first path entry of the first carry-forward entry; false when there
// is none.
bool FirstCarryForwardPath(const std::vector<databrowse::ViewIdComponentIdToAfileMap>& entries, CNMessageBase& first);

}  // namespace pseudosnap
