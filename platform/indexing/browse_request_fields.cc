#include "platform/indexing/browse_request_fields.h"

#include "platform/messages/service_messages.h"

namespace platform {

int64_t BrowseRequestType(const CNMessageBase& request) {
  using R = databrowse::BrowseRequest;
  return request.getint64(R::kRequestType.number, R::kRequestType.tag);
}

bool HasBrowseEntity(const CNMessageBase& request) {
  using R = databrowse::BrowseRequest;
  return request.isSet(R::kEntity.number, R::kEntity.tag);
}

bool GenerateIdxLogsBlockOf(const CNMessageBase& request, CNMessageBase& block) {
  using Request = databrowse::BrowseRequest;
  using Options = databrowse::BrowseAdvancedOptions;
  using Config = databrowse::BrowseAdvancedConfig;
  using Extended = databrowse::BrowseAdvancedConfigExtendedConfig;
  CNMessageBase options, config, extended;
  return request.getObjectAccessor(Request::kAdvancedOptions.number, Request::kAdvancedOptions.tag, options) &&
         options.getObjectAccessor(Options::kAdvancedConfig.number, Options::kAdvancedConfig.tag, config) &&
         config.getObjectAccessor(Config::kExtendedConfig.number, Config::kExtendedConfig.tag, extended) &&
         extended.getObjectAccessor(Extended::kGenerateIdxLogs.number, Extended::kGenerateIdxLogs.tag, block);
}

BrowseEntity BrowseEntityOf(const CNMessageBase& request) {
  using R = databrowse::BrowseRequest;
  using E = KzEntities::GenericEntity;
  using G = databrowse::BrowseAdvConfigGenerateIdxLogs;
  BrowseEntity named;
  CNMessageBase entity;
  if (!request.getObjectAccessor(R::kEntity.number, R::kEntity.tag, entity)) return named;
  named.cellId = entity.getuint64(E::kVornCellId.number, E::kVornCellId.tag);
  named.appId = entity.getuint64(E::kApplicationId.number, E::kApplicationId.tag);
  CNMessageBase block;
  if (named.cellId == 0 && GenerateIdxLogsBlockOf(request, block))
    named.cellId = block.getuint64(G::kVornCellId.number, G::kVornCellId.tag);
  return named;
}

std::vector<std::string> BrowsePaths(const CNMessageBase& request) {
  using R = databrowse::BrowseRequest;
  using P = databrowse::BrowsePath;
  std::vector<std::string> paths;
  for (const CNMessageBase& path : request.getlistobject(R::kPaths.number, R::kPaths.tag))
    paths.push_back(path.getstring(P::kPath.number, P::kPath.tag));
  return paths;
}

uint64_t CountBrowseItems(const std::vector<CNMessageBase>& replies) {
  using Response = databrowse::BrowseResponse;
  using Result = databrowse::BrowseResult;
  uint64_t items = 0;
  for (const CNMessageBase& reply : replies) {
    CNMessageBase result;
    if (reply.getTagID() == Response::kTagId &&
        reply.getObjectAccessor(Response::kResult.number, Response::kResult.tag, result))
      items += result.getlistobject(Result::kItems.number, Result::kItems.tag).size();
  }
  return items;
}

databrowse::BrowseResponse BrowseResponseOf(int64_t type) {
  databrowse::BrowseResponse response;
  response.setint64(response.kType.number, response.kType.tag, type);
  return response;
}

databrowse::BrowseResponse BrowseResponseOf(int64_t type, const std::vector<CNMessageBase>& items) {
  databrowse::BrowseResult result;
  result.setlistobject(result.kItems.number, result.kItems.tag, items);
  databrowse::BrowseResponse response = BrowseResponseOf(type);
  response.setObjectAccessor(response.kResult.number, response.kResult.tag, result);
  return response;
}

}  // namespace platform
