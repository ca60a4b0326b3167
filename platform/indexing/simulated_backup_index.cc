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

  bool IsIndexingV2(const CNMessageBase& request) override {
    const BrowseEntity entity = BrowseEntityOf(request);
    if (entity.appId == 0) return AnySubclientIndexedV2(request, entity.cellId);
    std::optional<SubclientRecord> subclient = AgentConfig::Current().FindSubclient(entity.cellId, entity.appId);
    return subclient && subclient->indexingV2;
  }

  int Browse(const CNMessageBase& request, std::vector<CNMessageBase>& replies) override {
    replies.clear();
    int code = 0;
    int result = 0;
    if (InjectedFaultCode("IdxBrowseClient::Browse", code))
      result = AsFailure(code);
    else if (!TakeScriptedReply(request, replies))
      result = Answer(request, replies);
    LogIndexRequest("Browse", request, result, replies);
    return result;
  }

 private:
  // A request naming no application (a browse by client, type and backup
  // set) is an indexing-V2 one when some subclient it names is.
  static bool AnySubclientIndexedV2(const CNMessageBase& request, uint64_t cellId) {
    using R = databrowse::BrowseRequest;
    using E = KzEntities::GenericEntity;
    CNMessageBase named;
    request.getObjectAccessor(R::kEntity.number, R::kEntity.tag, named);
    const uint64_t clientId = named.getuint64(E::kClientId.number, E::kClientId.tag);
    const uint64_t appType = named.getuint64(E::kAppType.number, E::kAppType.tag);
    const uint64_t backupSetId = named.getuint64(E::kBackupsetId.number, E::kBackupsetId.tag);
    for (const SubclientRecord& subclient : AgentConfig::Current().Subclients())
      if (subclient.cellId == cellId && subclient.clientId == clientId && subclient.appType == appType &&
          subclient.backupSetId == backupSetId && subclient.indexingV2)
        return true;
    return false;
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
