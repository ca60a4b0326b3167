#pragma once
// The simulated index answers each kind of browse request with one handler.
// A browse that no queued reply (scripted_replies.h) takes goes to the first
// handler that answers its request; with none, the reply has no message.
//
// A new kind of request adds a class deriving from IndexRequestHandler in a
// file of its own, with its Make function, and one line to
// IndexRequestHandlers in index_request_handlers.cc. Handlers answer from
// the index's tables in the state database, which the harness seeds and the
// agent's indexing services write.
#include <memory>
#include <vector>

#include "platform/codec/nmessage_base.h"

namespace platform {

class IndexRequestHandler {
 public:
  virtual ~IndexRequestHandler() = default;
  // Whether the request is of this handler's kind.
  virtual bool Answers(const CNMessageBase& request) const = 0;
  // Appends the reply messages to `replies`; false when the index cannot
  // answer (the browse fails).
  virtual bool Answer(const CNMessageBase& request, std::vector<CNMessageBase>& replies) const = 0;
};

// Every handler, in the order they are asked.
const std::vector<std::unique_ptr<IndexRequestHandler>>& IndexRequestHandlers();

// Request type 21 with a fetch-extent-bitmap block: the components' extent
// bitmaps (index_extent_bitmaps.h).
std::unique_ptr<IndexRequestHandler> MakeExtentBitmapHandler();
// Request type 0 on a volume's extent-view path: a page of the volume's
// extent hashes (index_extent_view.h).
std::unique_ptr<IndexRequestHandler> MakeExtentViewHandler();
// Request type 11 with a generate-index-logs block: the carry-forward of a
// job's index (index_carry_forward.h).
std::unique_ptr<IndexRequestHandler> MakeCarryForwardHandler();
// Request types 0 and 1 in browse mode 2 whose queries carry no criteria:
// the entries database agents wrote (index_agent_entries.h). Asked before
// the item browse, which would otherwise take these requests too.
std::unique_ptr<IndexRequestHandler> MakeAgentEntriesHandler();
// Request type 0 or 1 on any other path: the items jobs published through
// their indexing connections (indexed_items.h).
std::unique_ptr<IndexRequestHandler> MakeItemBrowseHandler();

}  // namespace platform
