// The default backup index: the scripted replies the harness queued, else
// the handler of the request's kind; every call logged, faults injectable.
#include "platform/config/agent_config.h"
#include "platform/indexing/backup_index.h"
#include "platform/indexing/browse_request_fields.h"
#include "platform/indexing/index_request_handler.h"
#include "platform/indexing/index_request_log.h"
#include "platform/indexing/scripted_replies.h"
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
