#include "scan/cumulative_bitmap_helper.h"

#include "platform/fs/qi_directory.h"
#include "platform/log/ev_debug.h"
#include "platform/services/subclient.h"
#include "platform/text/fx_string.h"
#include "tracking/bitmap_words.h"

namespace {

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
  err = ReadComponentsFailedInSFV();
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CCumulativeBitmapHelper::ReadComponentsFailedInSFV() {
  m_vSFVComponents.clear();
  return CQiError();
}

// Without indexing V2 no synthetic-full validation names a component.
CQiError CCumulativeBitmapHelper::ConvertToFullIfFailedInSFV(const std::string&, const std::string&, bool& full) {
  full = false;
  return CQiError();
}

CQiError CCumulativeBitmapHelper::MergeMissingExtsFromSFV(const std::string&, const std::string&, uint64_t,
                                                          TrueUpVolInfo::VolumeBitmapsPtr&) {
  return CQiError();
}

CQiError CCumulativeBitmapHelper::MakeSureChangesInDataOnlyBlockBitmapAreReflectedInDiskBitmap(
    const std::string&, const std::string&, uint64_t, TrueUpVolInfo::VolumeBitmapsPtr&) {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 0, "Not Indexing V2");
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
