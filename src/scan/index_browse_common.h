#pragma once
// What the scan's browses of the backup index share: the base request every
// browse starts from, the client's initialisation, the browse itself and the
// checks each reply's responses must pass.
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/error/qi_error.h"
#include "platform/indexing/idx_browse_client.h"

namespace scan {

// The application's entity, an open time range, the root path and the index
// service's flag of every base request; the request type is the caller's.
void FillBaseBrowseRequest(databrowse::BrowseRequest& request, uint64_t cellId, uint64_t clientId, uint64_t appId,
                           uint64_t appType);
// Hands the request to the client; 774 when the index refuses it (whether it
// did is asked of the client, not read from what Initialize returns).
CQiError InitializeBrowseClient(IdxBrowseClient& client, const databrowse::BrowseRequest& request);
// 774 when the browse fails.
CQiError BrowseIndex(IdxBrowseClient& client, databrowse::BrowseResponseList& reply);
// A response that is no browse response fails with 774; a partial one, or
// one that says indices may be missing, or a failed one with errors, with
// 1627. Logs the response at level 6 when asked.
CQiError CheckBrowseResponse(const CNMessageBase& response, bool logResponse);

std::vector<CNMessageBase> BrowseResponsesOf(const databrowse::BrowseResponseList& reply);
// The response's browse result; nothing when it has none.
std::optional<CNMessageBase> BrowseResultOf(const CNMessageBase& response);
std::vector<CNMessageBase> BrowseItemsOf(const CNMessageBase& result);

}  // namespace scan
