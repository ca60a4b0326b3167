#include "platform/harness/archive_harness.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/archive/archive_stream.h"
#include "platform/indexing/index_metadata_helper.h"
#include "platform/services/cx_file_header.h"
#include "platform/sim/fs_util.h"

namespace blbsim {

namespace {

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= ' ' && c <= '~' && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  return out;
}

// The header of a record 128, when the payload is one.
bool ReadHeader(const platform::ArchiveRecord& record, CXFileHeader& header) {
  if (record.type != platform::kArchiveRecordHeader || record.payload.size() != sizeof(CXFileHeader)) return false;
  std::memcpy(static_cast<void*>(&header), record.payload.data(), sizeof header);
  return true;
}

}  // namespace

bool SetArchiveBufferSize(uint32_t size) {
  const std::string path = platform::ArchiveBufferSizePath();
  if (!platform::MakeDirectories(platform::ParentOf(path))) return false;
  return platform::WriteFileAtomically(path, std::to_string(size) + "\n");
}

bool DescribeArchiveStream(uint64_t jobId, std::vector<std::string>& lines, std::string& why) {
  lines.clear();
  std::vector<platform::ArchiveRecord> records;
  if (!platform::ReadArchiveStream(jobId, records, why)) return false;
  for (const platform::ArchiveRecord& record : records) {
    std::string line = "type=" + std::to_string(record.type) + " length=" + std::to_string(record.payload.size());
    CXFileHeader header;
    uint32_t tag = 0;
    std::string value;
    char fields[96];
    if (ReadHeader(record, header)) {
      std::snprintf(fields, sizeof fields, " mode=0x%" PRIx64 " size=%" PRIu64, header.h_mode, header.h_filesize);
      line += " name=" + Printable(header.GetFileName()) + fields;
    } else if (record.type == platform::kArchiveRecordIndexMetaData &&
               platform::ReadIndexMetaData(record.payload.data(), record.payload.size(), tag, value)) {
      std::snprintf(fields, sizeof fields, " tag=0x%08" PRIX32 " value=", tag);
      line += fields + Printable(value);
    }
    lines.push_back(line);
  }
  return true;
}

bool ExtractArchiveItemData(uint64_t jobId, const std::string& name, std::string& data, std::string& why) {
  data.clear();
  std::vector<platform::ArchiveRecord> records;
  if (!platform::ReadArchiveStream(jobId, records, why)) return false;
  bool inItem = false;
  for (const platform::ArchiveRecord& record : records) {
    CXFileHeader header;
    if (ReadHeader(record, header)) {
      if (inItem) return true;
      inItem = header.GetFileName() == name;
    } else if (inItem && record.type == platform::kArchiveRecordData) {
      data += record.payload;
    } else if (inItem &&
               (record.type == platform::kArchiveRecordEnd || record.type == platform::kArchiveRecordEndFailed)) {
      return true;
    }
  }
  if (inItem) return true;
  why = "no item named " + name + " in job " + std::to_string(jobId) + "'s stream";
  return false;
}

}  // namespace blbsim
