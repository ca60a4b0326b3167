#include "platform/indexing/index_request_handler.h"

namespace platform {

const std::vector<std::unique_ptr<IndexRequestHandler>>& IndexRequestHandlers() {
  static const auto* handlers = [] {
    auto* made = new std::vector<std::unique_ptr<IndexRequestHandler>>();
    made->push_back(MakeExtentBitmapHandler());
    made->push_back(MakeExtentViewHandler());
    made->push_back(MakeCarryForwardHandler());
    made->push_back(MakeAgentEntriesHandler());
    made->push_back(MakeItemBrowseHandler());
    return made;
  }();
  return *handlers;
}

}  // namespace platform
