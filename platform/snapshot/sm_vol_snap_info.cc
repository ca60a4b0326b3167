#include "platform/snapshot/sm_vol_snap_info.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "platform/sim/fault_table.h"

namespace {

// The values of a line "<kind> k1=v1 k2=v2 ...": each value runs to the
// next key. False when a key is missing or out of order.
bool SplitLine(const std::string& rest, const std::vector<const char*>& keys, std::vector<std::string>& values) {
  values.clear();
  size_t position = 0;
  for (size_t i = 0; i < keys.size(); ++i) {
    const std::string key = std::string(i == 0 ? "" : " ") + keys[i] + "=";
    if (rest.compare(position, key.size(), key) != 0) return false;
    const size_t start = position + key.size();
    size_t end = rest.size();
    if (i + 1 < keys.size()) {
      end = rest.find(std::string(" ") + keys[i + 1] + "=", start);
      if (end == std::string::npos) return false;
    }
    values.push_back(rest.substr(start, end - start));
    position = end;
  }
  return true;
}

bool ReadSigned(const std::string& text, long long low, long long high, long long& value) {
  if (text.empty() || (text[0] != '-' && (text[0] < '0' || text[0] > '9'))) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoll(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && value >= low && value <= high;
}

bool ReadUnsigned(const std::string& text, int base, uint64_t high, uint64_t& value) {
  const std::string digits = base == 16 && text.rfind("0x", 0) == 0 ? text.substr(2) : text;
  if (digits.empty() || !std::isxdigit(static_cast<unsigned char>(digits[0])) || (base == 16 && digits == text))
    return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoull(digits.c_str(), &end, base);
  return errno == 0 && *end == '\0' && value <= high;
}

bool ReadInt(const std::string& text, int& value) {
  long long read = 0;
  if (!ReadSigned(text, INT32_MIN, INT32_MAX, read)) return false;
  value = static_cast<int>(read);
  return true;
}

bool ReadU32(const std::string& text, uint32_t& value) {
  uint64_t read = 0;
  if (!ReadUnsigned(text, 10, UINT32_MAX, read)) return false;
  value = static_cast<uint32_t>(read);
  return true;
}

struct Header {
  uint64_t job = 0, snapJob = 0;
  uint32_t cell = 0, copy = 0;
  int engine = 0, synthFull = 0;
};

bool ReadHeader(const std::string& line, Header& header) {
  std::vector<std::string> v;
  return SplitLine(line, {"job", "snapjob", "cell", "engine", "copy", "synthfull"}, v) &&
         ReadUnsigned(v[0], 10, UINT64_MAX, header.job) && ReadUnsigned(v[1], 10, UINT64_MAX, header.snapJob) &&
         ReadU32(v[2], header.cell) && ReadInt(v[3], header.engine) && ReadU32(v[4], header.copy) &&
         ReadInt(v[5], header.synthFull) && (header.synthFull == 0 || header.synthFull == 1);
}

bool ReadEntry(const std::string& line, SMVolSnapInfo& record) {
  std::vector<std::string> v;
  if (line.rfind("volume ", 0) == 0) {
    int id = 0, afile = 0;
    uint64_t flags = 0;
    if (!SplitLine(line.substr(7), {"id", "path", "options", "flags", "afile"}, v) || !ReadInt(v[0], id) ||
        !ReadUnsigned(v[3], 16, UINT32_MAX, flags) || !ReadInt(v[4], afile))
      return false;
    record.getVolumeList().emplace_back(id, v[1], v[2], static_cast<uint32_t>(flags), afile);
    return true;
  }
  if (line.rfind("snap ", 0) == 0) {
    int id = 0;
    if (!SplitLine(line.substr(5), {"id", "source"}, v) || !ReadInt(v[0], id)) return false;
    record.getSnapList().emplace_back(id, v[1]);
    return true;
  }
  if (line.rfind("map ", 0) == 0) {
    int volume = 0, snap = 0, metadata = 0;
    if (!SplitLine(line.substr(4), {"volume", "snap", "metadata"}, v) || !ReadInt(v[0], volume) ||
        !ReadInt(v[1], snap) || !ReadInt(v[2], metadata))
      return false;
    record.getVolSnapMapList().emplace_back(volume, snap, metadata);
    return true;
  }
  if (line.rfind("disk ", 0) == 0) {
    int id = 0;
    if (!SplitLine(line.substr(5), {"id", "device", "origin"}, v) || !ReadInt(v[0], id)) return false;
    SMVolumeInfo disk(id, v[2], "", 0, 0);
    disk.setSourceDevice(v[1]);
    disk.setOriginSourcePath(v[2]);
    record.getDiskVolumeList().push_back(disk);
    return true;
  }
  if (line.rfind("asm ", 0) == 0) {
    int cloned = 0;
    if (!SplitLine(line.substr(4), {"cloned"}, v) || !ReadInt(v[0], cloned) || (cloned != 0 && cloned != 1))
      return false;
    record.setAsmCloned(cloned != 0);
    return true;
  }
  if (line.rfind("metadata ", 0) == 0) {
    int id = 0, type = 0, mode = 0;
    if (!SplitLine(line.substr(9), {"id", "type", "dbopmode"}, v) || !ReadInt(v[0], id) || !ReadInt(v[1], type) ||
        !ReadInt(v[2], mode))
      return false;
    record.getMetaDataList().emplace_back(id, type, mode);
    return true;
  }
  return false;
}

}  // namespace

int SMVolSnapInfo::addMetaData(SMMetaDataInfo metadata, bool) {
  int highest = 0;
  for (const SMMetaDataInfo& known : m_lMetaData)
    highest = known.getMetaDataId() > highest ? known.getMetaDataId() : highest;
  metadata.setMetaDataId(highest + 1);
  m_lMetaData.push_back(metadata);
  return highest + 1;
}

int SMVolSnapInfo::cloneForBlockSnap(uint64_t jobId, uint32_t copyId, const std::map<int, int>& archFileMap,
                                     const SMEngineInfo& engine, SMVolSnapInfo& clone, std::string& error,
                                     bool synthFull) const {
  int code = 0;
  if (platform::InjectedFaultCode("SMVolSnapInfo::cloneForBlockSnap", code)) {
    error = "injected failure";
    return code != 0 ? code : -1;
  }
  SMVolSnapInfo made;
  made.m_nJobId = jobId;
  made.m_nSnapJobId = m_nSnapJobId;
  made.m_nCellId = m_nCellId;
  made.m_nEngineId = engine.engineId;
  made.m_nCopyId = copyId;
  made.m_bSynthFull = synthFull;
  made.m_lVolumes = m_lVolumes;
  made.m_lSnaps = m_lSnaps;
  made.m_lVolSnapMaps = m_lVolSnapMaps;
  made.m_lMetaData = m_lMetaData;
  for (SMVolumeInfo& volume : made.m_lVolumes) {
    auto mapped = archFileMap.find(volume.getArchFileId());
    if (mapped == archFileMap.end()) {
      error = "no pseudo archive file for archive file " + std::to_string(volume.getArchFileId());
      return 1;
    }
    volume.setArchFileId(mapped->second);
  }
  clone = made;
  return 0;
}

void SMVolSnapInfo::TakeStored(const SMVolSnapInfo& stored) {
  m_nJobId = stored.m_nJobId;
  m_nSnapJobId = stored.m_nSnapJobId;
  m_nCellId = stored.m_nCellId;
  m_nEngineId = stored.m_nEngineId;
  m_nCopyId = stored.m_nCopyId;
  m_bSynthFull = stored.m_bSynthFull;
  m_lVolumes = stored.m_lVolumes;
  m_lSnaps = stored.m_lSnaps;
  m_lVolSnapMaps = stored.m_lVolSnapMaps;
  m_lMetaData = stored.m_lMetaData;
  m_lDiskVolumes = stored.m_lDiskVolumes;
  m_bAsmCloned = stored.m_bAsmCloned;
}

std::string SMVolSnapInfo::ToText() const {
  std::ostringstream text;
  text << "job=" << m_nJobId << " snapjob=" << m_nSnapJobId << " cell=" << m_nCellId << " engine=" << m_nEngineId
       << " copy=" << m_nCopyId << " synthfull=" << (m_bSynthFull ? 1 : 0) << "\n";
  char flags[16];
  for (const SMVolumeInfo& volume : m_lVolumes) {
    std::snprintf(flags, sizeof flags, "0x%" PRIx32, volume.getVolumeFlags());
    text << "volume id=" << volume.getSMVolumeId() << " path=" << volume.getSourcePath()
         << " options=" << volume.getMountOptions() << " flags=" << flags << " afile=" << volume.getArchFileId()
         << "\n";
  }
  for (const SMSnapInfo& snap : m_lSnaps)
    text << "snap id=" << snap.getSMSnapId() << " source=" << snap.getSnapSourceDevice() << "\n";
  for (const SMVolSnapMapInfo& map : m_lVolSnapMaps)
    text << "map volume=" << map.getSMVolumeId() << " snap=" << map.getSMSnapId() << " metadata=" << map.getMetaDataId()
         << "\n";
  for (const SMMetaDataInfo& metadata : m_lMetaData)
    text << "metadata id=" << metadata.getMetaDataId() << " type=" << metadata.getMetaDataType()
         << " dbopmode=" << metadata.getDbOpMode() << "\n";
  for (const SMVolumeInfo& disk : m_lDiskVolumes)
    text << "disk id=" << disk.getSMVolumeId() << " device=" << disk.getSourceDevice()
         << " origin=" << disk.getOriginSourcePath() << "\n";
  if (m_bAsmCloned) text << "asm cloned=1\n";
  return text.str();
}

bool SMVolSnapInfo::FromText(const std::string& text, SMVolSnapInfo& record, std::string& why) {
  SMVolSnapInfo read;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  bool header = false;
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    Header fields;
    const bool ok = header ? ReadEntry(line, read) : ReadHeader(line, fields);
    if (ok && !header) {
      read.m_nJobId = fields.job;
      read.m_nSnapJobId = fields.snapJob;
      read.m_nCellId = fields.cell;
      read.m_nEngineId = fields.engine;
      read.m_nCopyId = fields.copy;
      read.m_bSynthFull = fields.synthFull != 0;
    }
    if (!ok) {
      why = "line " + std::to_string(number) + ": not " +
            (header ? "a volume, snap, map, metadata, disk or asm line"
                    : "a header \"job= snapjob= cell= engine= copy= synthfull=\"") +
            ": " + line;
      return false;
    }
    header = true;
  }
  if (!header) {
    why = "no header line";
    return false;
  }
  record = read;
  return true;
}
