#pragma once
// The simulated index's request log: every Initialize and Browse of a browse
// client, from any process, in order, with the request's codec text, the
// call's result and how many responses and items answered it. Kept in the
// state database's `index_requests` table.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/codec/nmessage_base.h"
#include "platform/sim/state_db_failure.h"

namespace platform {

struct IndexRequestRecord {
  uint64_t seq = 0;
  long long pid = 0;
  std::string call;  // "Initialize" or "Browse"
  int result = 0;
  uint64_t responses = 0;
  uint64_t items = 0;
  std::string request;
};

bool LogIndexRequest(const char* call, const CNMessageBase& request, int result,
                     const std::vector<CNMessageBase>& replies);
// Every request logged, oldest first; done, or why they could not be read.
StateDbResult IndexRequests(std::vector<IndexRequestRecord>& requests);
bool ClearIndexRequests();

}  // namespace platform
