// The default backup index: the scripted replies the harness queued, else
// the handler of the request's kind; every call logged, faults injectable.
#include "platform/config/agent_config.h"
#include "platform/indexing/backup_index.h"
#include "platform/indexing/browse_request_fields.h"
#include "platform/indexing/index_request_handler.h"
#include "platform/indexing/index_request_log.h"
#include "platform/indexing/scripted_replies.h"
#include "platform/messages/service_messages.h"
#include "platform/sim/fault_table.h"

namespace platform {
namespace {

int AsFailure(int code) {
  return code < 0 ? code : (code > 0 ? -code : -1);
}

class SimulatedBackupIndex : public BackupIndexBackend {
 public:
  int Initialize(const CNMessageBase& request) override {
    int code = 0;
    int result = 0;
    if (InjectedFaultCode("IdxBrowseClient::Initialize", code))
      result = AsFailure(code);
    else if (!HasBrowseEntity(request) || BrowseEntityOf(request).cellId == 0)
      result = -1;
    LogIndexRequest("Initialize", request, result, {});
    return result;
  }

  StateDbResult IsIndexingV2(const CNMessageBase& request, bool& indexingV2) override {
    const BrowseEntity entity = BrowseEntityOf(request);
    if (entity.appId == 0) return AnySubclientIndexedV2(request, entity.cellId, indexingV2);
    std::optional<SubclientRecord> subclient;
    const StateDbResult read = AgentConfig::Current().FindSubclient(entity.cellId, entity.appId, subclient);
    indexingV2 = subclient && subclient->indexingV2;
    return read;
  }

  int Browse(const CNMessageBase& request, std::vector<CNMessageBase>& replies) override {
    replies.clear();
    int code = 0;
    int result = 0;
    bool scripted = false;
    if (InjectedFaultCode("IdxBrowseClient::Browse", code))
      result = AsFailure(code);
    else if (!TakeScriptedReply(request, replies, scripted))
      result = -1;
    else if (!scripted)
      result = Answer(request, replies);
    LogIndexRequest("Browse", request, result, replies);
    return result;
  }

 private:
  // A request naming no application (a browse by client, type and backup
  // set) is an indexing-V2 one when some subclient it names is.
  static StateDbResult AnySubclientIndexedV2(const CNMessageBase& request, uint64_t cellId, bool& indexingV2) {
    using R = databrowse::BrowseRequest;
    using E = KzEntities::GenericEntity;
    CNMessageBase named;
    request.getObjectAccessor(R::kEntity.number, R::kEntity.tag, named);
    const uint64_t clientId = named.getuint64(E::kClientId.number, E::kClientId.tag);
    const uint64_t appType = named.getuint64(E::kAppType.number, E::kAppType.tag);
    const uint64_t backupSetId = named.getuint64(E::kBackupsetId.number, E::kBackupsetId.tag);
    std::vector<SubclientRecord> subclients;
    const StateDbResult read = AgentConfig::Current().Subclients(subclients);
    indexingV2 = false;
    for (const SubclientRecord& subclient : subclients)
      if (subclient.cellId == cellId && subclient.clientId == clientId && subclient.appType == appType &&
          subclient.backupSetId == backupSetId && subclient.indexingV2) {
        indexingV2 = true;
        break;
      }
    return read;
  }

  static int Answer(const CNMessageBase& request, std::vector<CNMessageBase>& replies) {
    for (const auto& handler : IndexRequestHandlers()) {
      if (!handler->Answers(request)) continue;
      if (handler->Answer(request, replies)) return 0;
      replies.clear();
      return -1;
    }
    return 0;
  }
};

}  // namespace

BackupIndexBackend& BackupIndexBackend::Default() {
  static SimulatedBackupIndex* backend = new SimulatedBackupIndex();
  return *backend;
}

}  // namespace platform
