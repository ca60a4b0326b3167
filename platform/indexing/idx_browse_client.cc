#include "platform/indexing/idx_browse_client.h"

#include "platform/indexing/backup_index.h"

namespace {

using BrowseRequest = databrowse::BrowseRequest;

void SetOrRemove(CNMessageBase& request, const CNFieldId& field, const CNMessageBase* value) {
  if (value != nullptr)
    request.setObjectAccessor(field.number, field.tag, *value);
  else
    request.unset(field.number, field.tag);
}

void SetListOrRemove(CNMessageBase& request, const CNFieldId& field, const std::vector<CNMessageBase>& values) {
  if (!values.empty())
    request.setlistobject(field.number, field.tag, values);
  else
    request.unset(field.number, field.tag);
}

}  // namespace

int IdxBrowseClient::Initialize(databrowse::BrowseRequest request, IdxBrowseClientResp* handler, int, const char*,
                                IdxBrowseClientInterrupt*) {
  m_vPaths = request.getlistobject(BrowseRequest::kPaths.number, BrowseRequest::kPaths.tag);
  m_vQueries = request.getlistobject(BrowseRequest::kQueries.number, BrowseRequest::kQueries.tag);
  m_oRequest = request;
  m_pHandler = handler;
  m_bInitialized = true;
  const int result = platform::BackupIndex::Current().Initialize(request);
  m_bInitFailed = result < 0;
  return result;
}

bool IdxBrowseClient::isIndexingV2BrowseRequest() const {
  if (!m_bInitialized || m_bInitFailed) return false;
  bool indexingV2 = false;
  if (platform::BackupIndex::Current().IsIndexingV2(Composed(), indexingV2)) return indexingV2;
  m_bInitFailed = true;
  return false;
}

void IdxBrowseClient::setWorkerId(const std::string& workerId) {
  m_oRequest.setstring(BrowseRequest::kWorkerId.number, BrowseRequest::kWorkerId.tag, workerId);
}

void IdxBrowseClient::setViewId(const std::string& viewId) {
  m_oRequest.setstring(BrowseRequest::kViewId.number, BrowseRequest::kViewId.tag, viewId);
}

void IdxBrowseClient::setOptions(const databrowse::BrowseOptions* options) {
  SetOrRemove(m_oRequest, BrowseRequest::kOptions, options);
}

void IdxBrowseClient::setAdvOptions(const databrowse::BrowseAdvancedOptions* options) {
  SetOrRemove(m_oRequest, BrowseRequest::kAdvancedOptions, options);
}

void IdxBrowseClient::setMode(const databrowse::BrowseMode* mode) {
  SetOrRemove(m_oRequest, BrowseRequest::kMode, mode);
}

std::string IdxBrowseClient::serializeRequest() const {
  return Composed().toString();
}

int IdxBrowseClient::Browse(IdxBrowseClientReq*, databrowse::BrowseResponseList* reply) {
  if (!m_bInitialized || m_bInitFailed) return -1;
  std::vector<CNMessageBase> messages;
  const int result = platform::BackupIndex::Current().Browse(Composed(), messages);
  if (result != 0) return result < 0 ? result : -result;
  using List = databrowse::BrowseResponseList;
  if (reply != nullptr) SetListOrRemove(*reply, List::kResponses, messages);
  if (m_pHandler != nullptr)
    for (CNMessageBase& message : messages) m_pHandler->processResp(&message);
  return 0;
}

databrowse::BrowseRequest IdxBrowseClient::Composed() const {
  databrowse::BrowseRequest request = m_oRequest;
  SetListOrRemove(request, BrowseRequest::kPaths, m_vPaths);
  SetListOrRemove(request, BrowseRequest::kQueries, m_vQueries);
  return request;
}
