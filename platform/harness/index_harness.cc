#include "platform/harness/index_harness.h"

#include <cerrno>
#include <cstring>

#include "platform/config/agent_config.h"
#include "platform/indexing/scripted_replies.h"
#include "platform/sim/fs_util.h"

namespace blbsim {

bool SetIndexExtentBitmap(uint64_t cellId, uint64_t appId, const std::string& component, const std::string& bitmap) {
  return platform::PutIndexExtentBitmap({cellId, appId, component, bitmap});
}

bool SetIndexExtentBitmapFrom(uint64_t cellId, uint64_t appId, const std::string& component,
                              const std::string& sourcePath) {
  std::string bitmap;
  return platform::ReadWholeFile(sourcePath, bitmap) && SetIndexExtentBitmap(cellId, appId, component, bitmap);
}

std::vector<platform::IndexExtentBitmapRecord> IndexExtentBitmaps() {
  return platform::IndexExtentBitmaps();
}

bool QueueIndexReply(const std::string& reply, std::optional<int64_t> requestType, const std::string& pathPart,
                     std::string* why) {
  return platform::QueueScriptedReply({requestType, pathPart, reply}, why);
}

bool QueueIndexReplyFrom(const std::string& sourcePath, std::optional<int64_t> requestType, const std::string& pathPart,
                         std::string* why) {
  std::string reply;
  if (!platform::ReadWholeFile(sourcePath, reply)) {
    if (why != nullptr) *why = "cannot read " + sourcePath + ": " + std::strerror(errno);
    return false;
  }
  // An editor's line end is not part of the codec's one-line text.
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
  return QueueIndexReply(reply, requestType, pathPart, why);
}

std::vector<platform::IndexRequestRecord> IndexRequests() {
  return platform::IndexRequests();
}

bool ClearIndexRequests() {
  return platform::ClearIndexRequests();
}

bool SetIndexingV2(uint64_t cellId, uint64_t appId, bool on) {
  platform::AgentConfigBackend& config = platform::AgentConfig::Current();
  std::optional<platform::SubclientRecord> subclient = config.FindSubclient(cellId, appId);
  if (!subclient) return false;
  subclient->indexingV2 = on;
  return config.PutSubclient(*subclient);
}

}  // namespace blbsim
