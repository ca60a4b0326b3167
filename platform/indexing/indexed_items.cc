#include "platform/indexing/indexed_items.h"

#include <cstdlib>

#include "platform/indexing/indexing_connection.h"

namespace platform {
namespace {

constexpr char kHeader[] = "header name=";
constexpr char kHeaderEnd[] = " namelen=";
constexpr char kMetaData[] = "idxmeta ";
constexpr char kArchiveFile[] = "afile ";
constexpr uint64_t kFileTypeMask = 0xF000;
constexpr uint64_t kFolderType = 0x4000;

bool StartsWith(const std::string& line, const char* prefix) {
  return line.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The number after " key=" in `line`; false when it is missing.
bool NumberField(const std::string& line, const std::string& key, size_t from, uint64_t& value) {
  const size_t at = line.find(" " + key + "=", from);
  if (at == std::string::npos) return false;
  const char* start = line.c_str() + at + key.size() + 2;
  char* end = nullptr;
  value = std::strtoull(start, &end, 0);
  return end != start;
}

struct PendingItem {
  uint64_t createTime = 0;
  bool hasMetaData = false;
  IdxMetadata::IdxMetaData metaData;
};

}  // namespace

StateDbResult IndexedItems(std::vector<IndexedItem>& items) {
  items.clear();
  std::vector<std::pair<uint64_t, std::string>> lines;
  const StateDbResult read = IndexConnections::Current().AllItems(lines);
  if (!read) return read;
  uint64_t job = 0;
  uint64_t sequence = 0;
  PendingItem pending;
  for (const auto& [jobId, line] : lines) {
    ++sequence;
    if (jobId != job) {
      job = jobId;
      pending = PendingItem();
    }
    if (StartsWith(line, kArchiveFile)) {
      uint64_t time = 0;
      pending.createTime = NumberField(line, "time", 0, time) ? time : 0;
    } else if (StartsWith(line, kMetaData)) {
      pending.hasMetaData = pending.metaData.unserialize(line.substr(sizeof kMetaData - 1)) == 0;
    } else if (StartsWith(line, kHeader)) {
      const size_t end = line.rfind(kHeaderEnd);
      uint64_t mode = 0;
      if (end == std::string::npos || end < sizeof kHeader - 1 || !NumberField(line, "mode", end, mode)) continue;
      IndexedItem item;
      item.jobId = jobId;
      item.path = line.substr(sizeof kHeader - 1, end - (sizeof kHeader - 1));
      item.folder = (mode & kFileTypeMask) == kFolderType;
      item.hasMetaData = pending.hasMetaData;
      item.metaData = pending.metaData;
      item.createTime = pending.createTime;
      item.sequence = sequence;
      items.push_back(item);
      pending.hasMetaData = false;
      pending.metaData = IdxMetadata::IdxMetaData();
    }
  }
  return read;
}

std::vector<std::string> PathElements(const std::string& path, char delimiter) {
  std::vector<std::string> elements;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(delimiter, start);
    if (end == std::string::npos) end = path.size();
    if (end > start) elements.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return elements;
}

}  // namespace platform
