// Steps of the pseudo-snap job that belong to index publishing, the index
// carry-forward, the cumulative bitmaps and the synthetic full. Until they
// are built they fail (Windows-style 50, not supported) rather than let a
// job that needs them pass as complete.
#include "pseudosnap/pseudo_snap_handler_private.h"

namespace {

constexpr unsigned kNotSupported = 50;

CQiError NotYetSupported(const FXCodeLocation& location, const char* step) {
  return FXErrorUtil::ErrorWin32(location, kNotSupported, "%s is not supported by this build", step);
}

}  // namespace

CQiError CPseudoSnapArchiveHandlerPrivate::GetCumulativeBmpMap(std::map<std::string, std::string>&) {
  return NotYetSupported(FXCODELOC, "GetCumulativeBmpMap");
}

CQiError CPseudoSnapArchiveHandlerPrivate::DownloadCumulativeBitmapFiles(CJobInfoMetadataReaderManagerPtr&) {
  return NotYetSupported(FXCODELOC, "DownloadCumulativeBitmapFiles");
}

CQiError CPseudoSnapArchiveHandlerPrivate::UploadCumulativeBackupBitmaps(CJobInfoMetadataStorePtr&) {
  return NotYetSupported(FXCODELOC, "UploadCumulativeBackupBitmaps");
}

CQiError CPseudoSnapArchiveHandlerPrivate::SendVolumeAFileInfo(const std::string&, int) {
  return NotYetSupported(FXCODELOC, "SendVolumeAFileInfo");
}

CQiError CPseudoSnapArchiveHandlerPrivate::PopulateFullIncrBackupIndex() {
  return NotYetSupported(FXCODELOC, "PopulateFullIncrBackupIndex");
}

CQiError CPseudoSnapArchiveHandlerPrivate::RunCarryFwdIndex() {
  return NotYetSupported(FXCODELOC, "RunCarryFwdIndex");
}

CQiError CPseudoSnapArchiveHandlerPrivate::InitializeSynthfull() {
  return NotYetSupported(FXCODELOC, "InitializeSynthfull");
}

CQiError CPseudoSnapArchiveHandlerPrivate::PopulateSynthFullIndex() {
  return NotYetSupported(FXCODELOC, "PopulateSynthFullIndex");
}

CQiError CPseudoSnapArchiveHandlerPrivate::UpdateSynthFullBackupInfo() {
  return NotYetSupported(FXCODELOC, "UpdateSynthFullBackupInfo");
}
