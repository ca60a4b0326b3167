#include "scan/cumulative_bitmap_helper.h"

#include <algorithm>
#include <cerrno>

#include "platform/fs/qi_directory.h"
#include "platform/indexing/indexing_v2.h"
#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"
#include "platform/services/subclient.h"
#include "platform/text/fx_string.h"
#include "scan/cumulative_bitmap_words.h"
#include "tracking/bitmap_words.h"

namespace {

constexpr unsigned kErrorFailed = 774;
constexpr int kFullBackup = 1;
constexpr const char* kSFVArgument = "-lvwme";

using Bitmaps = TrueUpVolInfo::VolumeBitmaps;

CQiError CreateWhenAbsent(const std::string& folder) {
  if (FXPath::DoesPathExist(folder)) return CQiError();
  CQiError err = CQiDirectory::Create(folder.c_str(), false);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

}  // namespace

CCumulativeBitmapHelper::CCumulativeBitmapHelper(TarvosJobInfo& job, const std::string& jobResultsDir,
                                                 unsigned int clientId, long long previousJobId)
    : m_oJobInfo(job),
      m_sJobResultsDir(jobResultsDir),
      m_nClientId(clientId),
      m_nVornCellId(job.GetVornCellId()),
      m_nAppId(job.GetAppId()),
      m_nPreviousJobId(previousJobId) {
  // Unknown applications, and a query that fails, leave the type 0.
  unsigned long appType = 0;
  ApplicationId(m_nVornCellId, m_nAppId).getAppType(appType, nullptr);
  m_nAppType = appType;
}

CCumulativeBitmapHelper::~CCumulativeBitmapHelper() = default;

CQiError CCumulativeBitmapHelper::Initialize(std::map<std::string, std::string>& componentMap) {
  m_mComponentMap = componentMap;
  m_sCumulativeFolder = FXPath::Append(m_sJobResultsDir, kCumulativeFolder);
  CQiError err = CreateWhenAbsent(m_sCumulativeFolder);
  if (err.IsError()) return err.Push(FXCODELOC);
  m_sPreviousJobFolder = m_sCumulativeFolder + "_" + std::to_string(m_nPreviousJobId);
  err = CreateWhenAbsent(m_sPreviousJobFolder);
  if (err.IsError()) return err.Push(FXCODELOC);
  if (shouldUseIndexingV2(m_nVornCellId, m_nAppId, m_bIndexingV2) != 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "Failed to get Client Properties index version");
  EvDebug log;
  if (m_bIndexingV2) log.DebugLvl(__FUNCTION__, 0, "IndexV2=[%s]", "enabled");
  err = ReadComponentsFailedInSFV();
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CCumulativeBitmapHelper::ReadComponentsFailedInSFV() {
  m_vSFVComponents.clear();
  if (!m_bIndexingV2) return CQiError();
  EvDebug log;
  const std::vector<std::string>& args = m_oJobInfo.GetArgs();
  if (EvDebug::IsLevelEnabled(4))
    for (size_t i = 0; i < args.size(); ++i) log.DebugLvl(__FUNCTION__, 4, "Arg[%zu]=[%s]", i, args[i].c_str());
  const auto found = std::find(args.begin(), args.end(), kSFVArgument);
  if (found == args.end()) return CQiError();
  if (found + 1 == args.end())
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed,
                                   "Something is wrong, no components specified in lvwme command args");
  // A component id is never empty: "A,,B" names two.
  for (const FXString& component : FXString::Split(*(found + 1), ','))
    if (!component.empty()) m_vSFVComponents.push_back(component);
  if (m_vSFVComponents.empty())
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "Received lvwme but with out any component list");
  for (const std::string& component : m_vSFVComponents)
    log.DebugLvl(__FUNCTION__, 2, "Component with missing extents [%s]", component.c_str());

  if (m_oJobInfo.GetBackupLevel() != kFullBackup) {
    unsigned onlyMissed = 0;
    KZPlatformInfo::getNumber("FileSystemAgent", "nBlkLvlBackupOnlyMissedExtentsInSFV", &onlyMissed);
    m_bOnlyMissedExtents = onlyMissed != 0;
    if (m_bOnlyMissedExtents) {
      log.DebugLvl(__FUNCTION__, 0, "Regkey set to backup only missed extents in synthfull validation");
      CQiError err = FetchIdxBmpForVolumes(m_vSFVComponents, m_mIdxExtentBitmaps);
      if (err.IsError()) return err.Push(FXCODELOC);
    }
  } else {
    // A full backup reads every extent anyway.
    m_vSFVComponents.clear();
  }
  CQiError err = ResetVolumesWithMissingExtentsInJobManager();
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CCumulativeBitmapHelper::ConvertToFullIfFailedInSFV(const std::string& volume, const std::string& componentId,
                                                             bool& full) {
  full = false;
  if (m_bIndexingV2 && !m_bOnlyMissedExtents &&
      std::find(m_vSFVComponents.begin(), m_vSFVComponents.end(), componentId) != m_vSFVComponents.end()) {
    full = true;
    EvDebug log;
    log.DebugLvl(__FUNCTION__, 0,
                 "Last synthfull job indicated to trigger FULL on the volume due to missing extents, [%s:%s]",
                 volume.c_str(), componentId.c_str());
  }
  return CQiError();
}

CQiError CCumulativeBitmapHelper::MergeMissingExtsFromSFV(const std::string& volume, const std::string& componentId,
                                                          uint64_t bitmapBytes,
                                                          TrueUpVolInfo::VolumeBitmapsPtr& bitmaps) {
  if (!m_bIndexingV2 || !m_bOnlyMissedExtents || m_vSFVComponents.empty()) return CQiError();
  const auto entry = m_mIdxExtentBitmaps.find(componentId);
  if (entry == m_mIdxExtentBitmaps.end()) return CQiError();
  unsigned char* change = bitmaps ? (*bitmaps)[Bitmaps::kChange] : nullptr;
  const unsigned char* data = bitmaps ? (*bitmaps)[Bitmaps::kDataOnly] : nullptr;
  if (change == nullptr || data == nullptr)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Bitmaps of volume[%s] are not set", volume.c_str());
  const std::string& index = entry->second;
  const size_t bytes = static_cast<size_t>(std::min<uint64_t>(bitmapBytes, index.size()));
  const auto* indexBytes = reinterpret_cast<const unsigned char*>(index.data());
  if (!EvDebug::IsLevelEnabled(4)) {
    cumulative_words::MarkUsedExtentsNotIn(change, data, indexBytes, bytes);
    return CQiError();
  }
  EvDebug log;
  const char* function = __FUNCTION__;
  cumulative_words::AddUsedExtentsNotIn(
      change, data, indexBytes, bytes, [&log, function](size_t offset, uint64_t added, size_t width) {
        for (size_t byte = 0; byte < width; ++byte, added >>= 8)
          if ((added & 0xFF) != 0)
            log.DebugLvl(function, 4, "%llu=%x", static_cast<unsigned long long>(offset + byte),
                         static_cast<unsigned>(added & 0xFF));
      });
  return CQiError();
}

bool CCumulativeBitmapHelper::AreAllBitsSet(unsigned long bytes, unsigned char* bitmap) {
  if (bytes == 0) return true;
  return bitmap != nullptr && bitmap_words::AllBytesAre(bitmap, bytes, 0xFF);
}

bool CCumulativeBitmapHelper::test_bmp_bit(long long n, const void* bitmap) {
  const unsigned char* bytes = static_cast<const unsigned char*>(bitmap);
  return (bytes[n >> 3] & (1u << (n & 7))) != 0;
}

void CCumulativeBitmapHelper::set_bmp_bit(long long n, void* bitmap) {
  unsigned char* bytes = static_cast<unsigned char*>(bitmap);
  bytes[n >> 3] = static_cast<unsigned char>(bytes[n >> 3] | (1u << (n & 7)));
}
