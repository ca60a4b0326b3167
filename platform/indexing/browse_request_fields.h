#pragma once
// What the simulated index reads of a browse request and its reply, and the
// responses its handlers answer with.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/codec/nmessage_base.h"
#include "platform/messages/service_messages.h"

namespace platform {

// The application a request's entity names; zeros for a request without one.
// A carry-forward request's entity names no cell: its generate-index-logs
// block does.
struct BrowseEntity {
  uint64_t cellId = 0;
  uint64_t appId = 0;
};

int64_t BrowseRequestType(const CNMessageBase& request);
// The request's generate-index-logs block, if it holds one.
bool GenerateIdxLogsBlockOf(const CNMessageBase& request, CNMessageBase& block);
bool HasBrowseEntity(const CNMessageBase& request);
BrowseEntity BrowseEntityOf(const CNMessageBase& request);
// The texts of the request's paths, in order.
std::vector<std::string> BrowsePaths(const CNMessageBase& request);
// The items of the browse results of the reply's responses.
uint64_t CountBrowseItems(const std::vector<CNMessageBase>& replies);

// The response type of an answer with results.
constexpr int64_t kResultsResponse = 1;
// A response of the given type, without a result.
databrowse::BrowseResponse BrowseResponseOf(int64_t type);
// A response of the given type whose result holds the items.
databrowse::BrowseResponse BrowseResponseOf(int64_t type, const std::vector<CNMessageBase>& items);

}  // namespace platform
