#pragma once
// A job's archive stream read back item by item, for the tests of the writers
// of archive-stream items.
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/archive/archive_stream.h"
#include "platform/indexing/index_metadata_helper.h"
#include "platform/services/cx_file_header.h"

namespace testing_support {

struct StreamItem {
  CXFileHeader header;
  std::string headerBytes;
  std::vector<uint32_t> types;  // every record of the item, the header's included
  std::vector<std::pair<uint32_t, std::string>> metadata;
  std::vector<std::string> metadataPayloads;
  std::vector<size_t> dataLengths;
  std::string data;

  std::string Name() const { return header.GetFileName(); }
};

// The job's stream as items; a record before the first header fails the
// read (an empty list and `ok` false).
inline std::vector<StreamItem> ReadStreamItems(uint64_t jobId, bool& ok) {
  std::vector<platform::ArchiveRecord> records;
  std::string why;
  std::vector<StreamItem> items;
  ok = platform::ReadArchiveStream(jobId, records, why);
  for (const platform::ArchiveRecord& record : records) {
    if (!ok) break;
    if (record.type == platform::kArchiveRecordHeader && record.payload.size() == sizeof(CXFileHeader)) {
      items.emplace_back();
      std::memcpy(static_cast<void*>(&items.back().header), record.payload.data(), sizeof(CXFileHeader));
      items.back().headerBytes = record.payload;
    } else if (items.empty()) {
      ok = false;
      break;
    }
    StreamItem& item = items.back();
    item.types.push_back(record.type);
    if (record.type == platform::kArchiveRecordIndexMetaData) {
      uint32_t tag = 0;
      std::string value;
      ok = platform::ReadIndexMetaData(record.payload.data(), record.payload.size(), tag, value);
      item.metadata.emplace_back(tag, value);
      item.metadataPayloads.push_back(record.payload);
    } else if (record.type == platform::kArchiveRecordData) {
      item.dataLengths.push_back(record.payload.size());
      item.data += record.payload;
    }
  }
  if (!ok) items.clear();
  return items;
}

}  // namespace testing_support
