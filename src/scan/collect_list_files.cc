// "ListOfCollect.txt": written by the scan, read back by the backup, which
// then takes each volume's collect files one at a time; and the reading of a
// collect file's lines.
#include <cerrno>
#include <cstdlib>

#include "platform/hashing/extent_name_converter.h"
#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"
#include "scan/checked_file_writer.h"
#include "scan/collect_file_manager.h"
#include "scan/collect_line_writer.h"

CQiError CollectFileManager::WriteCollectFilesToDisk() {
  EvDebug log;
  const std::string path = m_oJobInfo.GetJobResultsDir() + "/" + kListOfCollectFile;
  scan::ReplacingFileWriter list(path);
  CQiError err = list.Open();
  if (err.IsError())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, static_cast<int>(FXErrorUtil::GetCode(err)),
                                   "Failed to open %s to write collect file info.", path.c_str());
  for (const auto& [volume, files] : m_mCollectMap) {
    for (const CollectList& file : files) {
      const std::string line = FXString::Format("%s|%s|%d", volume.c_str(), file.sName.c_str(), file.nId);
      log.DebugLvl(__FUNCTION__, 3, "Writing %s to collect config %s.", line.c_str(), path.c_str());
      list.Append(line + "\n");
    }
  }
  err = list.Commit();
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to write collect file info to %s.", path.c_str());
  return err;
}

CQiError CollectFileManager::ReadCollectFilesFromDisk(std::list<std::string>& volumes) {
  EvDebug log;
  const std::string path = m_oJobInfo.GetJobResultsDir() + "/" + kListOfCollectFile;
  std::ifstream list(path);
  if (!list.is_open())
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open %s to read collect file info.", path.c_str());
  std::list<std::string> found;
  std::string line;
  while (std::getline(list, line)) {
    const std::vector<FXString> fields = FXString::Split(line, '|');
    if (fields.size() != 3) {
      log.Error(__FUNCTION__, "Invalid entry, skipping.");
      continue;
    }
    const CollectList file(fields[1], std::atoi(fields[2].c_str()), eCollectNotHandedOut);
    CollectMap::iterator known = m_mCollectMap.find(fields[0]);
    if (known != m_mCollectMap.end()) {
      log.DebugLvl(__FUNCTION__, 3, "Appending CollectName [%s], CollectId [%d] to existing Volume [%s], in map.",
                   file.sName.c_str(), file.nId, fields[0].c_str());
      known->second.push_back(file);
    } else {
      log.DebugLvl(__FUNCTION__, 3, "Adding CollectName [%s], CollectId [%d] for Volume [%s], in map.",
                   file.sName.c_str(), file.nId, fields[0].c_str());
      m_mCollectMap[fields[0]].push_back(file);
      found.push_back(fields[0]);
    }
  }
  // A list cut short by a failed read would leave extents out of the backup.
  if (list.bad())
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to read %s to read collect file info.", path.c_str());
  list.close();
  PrintCollectConfig();
  volumes = found;
  return CQiError();
}

void CollectFileManager::PrintCollectConfig() {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 1, "Printing Collect Map as read from disk......");
  long files = 0;
  for (const auto& [volume, collects] : m_mCollectMap) {
    log.DebugLvl(__FUNCTION__, 1, "Volume : %s", volume.c_str());
    for (const CollectList& file : collects) log.DebugLvl(__FUNCTION__, 1, "\t Collect Name : %s", file.sName.c_str());
    files += static_cast<long>(collects.size());
  }
  log.DebugLvl(__FUNCTION__, 1, "Backup will process [%ld] volumes, [%ld] total collect files.",
               static_cast<long>(m_mCollectMap.size()), files);
}

int CollectFileManager::GetNextCollectForVolume(const std::string& volume, std::string& name, int& id) {
  CollectMap::iterator known = m_mCollectMap.find(volume);
  if (known == m_mCollectMap.end()) return 0;
  for (CollectList& file : known->second) {
    if (file.eStatus != eCollectNotHandedOut) continue;
    name = file.sName;
    id = file.nId;
    file.eStatus = eCollectHandedOut;
    return 1;
  }
  return 0;
}

int CollectFileManager::ReadExtentsFromCollectFile(std::ifstream& stream, std::string& volume, std::string& entryPath,
                                                   unsigned long& extent) {
  if (!stream.good()) return -1;
  std::string line;
  do {
    if (!std::getline(stream, line)) return stream.bad() ? -1 : 0;
  } while (line.empty());
  const std::string::size_type slash = line.rfind('/');
  if (slash == std::string::npos) return -1;
  // Only the scan's own names: anything else would read as some other extent.
  const std::string name = line.substr(slash + 1);
  const unsigned long long number = ExtentNameConverter::Extent_base32_to_dec(name);
  if (name.size() != scan::CollectLineWriter::kNameWidth || number == ExtentNameConverter::kInvalidExtent) return -1;
  volume = slash == 0 ? std::string("/") : line.substr(0, slash);
  entryPath = slash == 0 ? std::string("/") + kRootVolumeFakeName + line : line;
  extent = static_cast<unsigned long>(number);
  return 1;
}
