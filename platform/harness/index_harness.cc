#include "platform/harness/index_harness.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>

#include "platform/config/agent_config.h"
#include "platform/harness/harness_reads.h"
#include "platform/indexing/indexing_connection.h"
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
  return ReadOrThrow<std::vector<platform::IndexExtentBitmapRecord>>(
      [](std::vector<platform::IndexExtentBitmapRecord>& records) { return platform::IndexExtentBitmaps(records); });
}

bool SetIndexExtentView(const platform::IndexExtentViewKey& key, const std::string& text, std::string* why) {
  std::map<uint64_t, std::string> extents;
  std::istringstream lines(text);
  std::string line;
  for (unsigned number = 1; std::getline(lines, line); ++number) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::istringstream fields(line);
    std::string id, hash, rest;
    fields >> id >> hash >> rest;
    const bool idOk = !id.empty() && id.size() <= 19 && id.find_first_not_of("0123456789") == std::string::npos;
    const bool hashOk = hash.size() == 32 && hash.find_first_not_of("0123456789abcdef") == std::string::npos;
    if (!idOk || !hashOk || !rest.empty() || !extents.emplace(std::stoull(id), hash).second) {
      if (why != nullptr) *why = "line " + std::to_string(number) + " is not a new \"ID HASH\": " + line;
      return false;
    }
  }
  platform::IndexExtentViewRows rows(extents.begin(), extents.end());
  if (!platform::PutIndexExtentView(key, rows)) {
    if (why != nullptr) *why = "cannot store the extent view";
    return false;
  }
  return true;
}

bool SetIndexExtentViewFrom(const platform::IndexExtentViewKey& key, const std::string& sourcePath, std::string* why) {
  std::string text;
  if (!platform::ReadWholeFile(sourcePath, text)) {
    if (why != nullptr) *why = "cannot read " + sourcePath + ": " + std::strerror(errno);
    return false;
  }
  return SetIndexExtentView(key, text, why);
}

std::string IndexExtentViewText(const platform::IndexExtentViewKey& key) {
  std::string text;
  const platform::IndexExtentViewRows rows = ReadOrThrow<platform::IndexExtentViewRows>(
      [&key](platform::IndexExtentViewRows& page) { return platform::IndexExtentViewPage(key, 0, ~0ull, page); });
  for (const auto& row : rows) text += std::to_string(row.first) + " " + row.second + "\n";
  return text;
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
  return ReadOrThrow<std::vector<platform::IndexRequestRecord>>(
      [](std::vector<platform::IndexRequestRecord>& requests) { return platform::IndexRequests(requests); });
}

std::vector<platform::IndexCarryForwardRecord> IndexCarryForwards(uint64_t jobId) {
  return ReadOrThrow<std::vector<platform::IndexCarryForwardRecord>>(
      [jobId](std::vector<platform::IndexCarryForwardRecord>& records) {
        return platform::IndexCarryForwards(jobId, records);
      });
}

bool ClearIndexRequests() {
  return platform::ClearIndexRequests();
}

bool SetIndexingV2(uint64_t cellId, uint64_t appId, bool on) {
  platform::AgentConfigBackend& config = platform::AgentConfig::Current();
  std::optional<platform::SubclientRecord> subclient;
  if (!config.FindSubclient(cellId, appId, subclient) || !subclient) return false;
  subclient->indexingV2 = on;
  return config.PutSubclient(*subclient).ok();
}

namespace {

// Where an index metadata record keeps its data text: field (36, 36), a
// record (101, 84) whose text (1, 1) it is.
constexpr int kDataRecordModule = 101;
constexpr int kDataRecordType = 84;
constexpr CNFieldId kMetaDataData{36, 36, 0};
constexpr CNFieldId kDataText{1, 1, 0};

}  // namespace

bool PublishIndexItem(uint64_t jobId, uint64_t createTime, const std::string& path, bool folder,
                      const std::optional<std::string>& data) {
  if (path.empty() || path.find('\n') != std::string::npos) return false;
  IdxMetadata::IdxMetaData record;
  if (data) {
    CNMessageBase dataRecord(kDataRecordModule, kDataRecordType);
    dataRecord.setstring(kDataText.number, kDataText.tag, *data);
    record.setObjectAccessor(kMetaDataData.number, kMetaDataData.tag, dataRecord);
  }
  platform::IndexConnectionBackend& index = platform::IndexConnections::Current();
  return index.PutItem(jobId,
                       "afile cell=0 group=0 afile=0 flag=0 time=" + std::to_string(createTime) + " flags=0x0") &&
         index.PutItem(jobId, "idxmeta " + record.toString()) &&
         index.PutItem(jobId, "header name=" + path + " namelen=" + std::to_string(path.size()) + " links=1 mode=" +
                                  (folder ? "0x4124" : "0x8124") + " attrs=0x0 size=0 delim=0 opts=0x0 os=0");
}

}  // namespace blbsim
