// The cumulative bitmaps of a pseudo-snap job travel through the job-info
// container "BlockLevelCumulativeBM": uploaded from the subclient folder of
// the same name, downloaded from a source job, and handed to the agent as
// the stored (compressed) archives.
#include <algorithm>
#include <vector>

#include "platform/config/kz_client.h"
#include "platform/fs/fx_file.h"
#include "platform/fs/qi_directory.h"
#include "platform/log/ev_debug.h"
#include "platform/services/index_files.h"
#include "platform/text/fx_string.h"
#include "pseudosnap/pseudo_snap_handler_private.h"
#include "records/cumulative_bitmap_names.h"
#include "records/file_replacement.h"

namespace {

constexpr const char* kCumulativeContainer = "BlockLevelCumulativeBM";
constexpr unsigned kNotFound = 1168;
constexpr unsigned kOutOfMemory = 14;
constexpr unsigned kBadName = 774;
constexpr uint64_t kReadPiece = 0x400000;
constexpr const char* kPackedSuffix = ".bmp.7z";

// The folder's entry names matching the pattern, all read before the caller
// changes the folder.
CQiError ListFolder(const std::string& folder, const char* pattern, std::vector<std::string>& names) {
  CQiDirectory lister;
  CQiError error = lister.Open(folder.c_str(), pattern, false);
  if (error.IsError())
    return error.Push(FXCODELOC, "Failed to open cumulative bitmap directory[%s], error=[%s]", folder.c_str(),
                      error.AsString().c_str());
  for (;;) {
    SQiDirEntry entry;
    bool end = false;
    error = lister.GetEntry(entry, end);
    if (error.IsError()) return error.Push(FXCODELOC);
    if (end) break;
    names.push_back(entry.m_sName.c_str());
  }
  lister.Close();
  return CQiError();
}

// The whole file, read in pieces of at most 4 MiB. A file that ends before
// its size was reached (it shrank) fails instead of being read for ever.
CQiError ReadWholeFile(const std::string& path, std::string& contents) {
  uint64_t size = 0;
  CQiError error = FXFile::KZGetFileSize(path.c_str(), size);
  if (error.IsError()) return error.Push(FXCODELOC, "Failed to get file[%s] size", path.c_str());
  auto_handle handle;
  error = FXFile::KZCreateFile(path.c_str(), fxfile::kGenericRead, fxfile::kShareRead, nullptr, fxfile::kOpenExisting,
                               fxfile::kAttributeNormal, handle);
  if (error.IsError()) return error.Push(FXCODELOC, "Failed to open file[%s] size", path.c_str());
  contents.assign(size, '\0');
  for (uint64_t done = 0; done < size;) {
    const uint64_t ask = std::min(kReadPiece, size - done);
    uint64_t read = 0;
    error = FXFile::KZReadFile(handle.get(), &contents[done], ask, read);
    if (error.IsError() || read == 0) {
      if (!error.IsError()) error = FXErrorUtil::ErrorErrNo(FXCODELOC, -1);
      return error.Push(FXCODELOC, "Failed to read from file[%s], Bytes2Read=%lu ", path.c_str(),
                        static_cast<unsigned long>(ask));
    }
    done += read;
  }
  return CQiError();
}

}  // namespace

CQiError CPseudoSnapArchiveHandlerPrivate::UploadCumulativeBackupBitmaps(CJobInfoMetadataStorePtr& store) {
  EvDebug log;
  C7zip zip(KZPI_Base::getHomeDirectory().value_or(std::string()), C7zip::kFormat7z);
  zip.Initialize();
  const std::string folder = FXPath::Append(m_sSubClientDir, kCumulativeContainer);
  // Listed whole first: the archives made below land in the same folder and
  // must not be met again by the walk.
  std::vector<std::string> names;
  CQiError error = ListFolder(folder, "*.bmp*", names);
  if (error.IsError()) return error;
  bool packed = false;
  for (const std::string& name : names) {
    if (!records::IsCumulativeBitmapName(name)) continue;
    const bool archived = FXString::MatchRight(name, kPackedSuffix);
    const std::string path = FXPath::Append(folder, name);
    std::string archive = path;
    if (!archived) {
      archive = path + ".7z";
      error = zip.AddFilesToArchive(archive, {path}, {});
      if (error.IsError())
        return error.Push(FXCODELOC, "Failed to archive file[%s] zipFile[%s], error[%s]", path.c_str(), archive.c_str(),
                          error.AsString().c_str());
      packed = true;
    }
    log.DebugLvl(__FUNCTION__, 3, "Uploading Index file[%s] to container[%s]", archive.c_str(), kCumulativeContainer);
    error = store->AddFileToContainer(kCumulativeContainer, archive);
    if (error.IsError())
      return error.Push(FXCODELOC, "Failed to add file[%s] to container, error[%s]", archive.c_str(),
                        error.AsString().c_str());
  }
  // The archives are handed to the agent again by a rerun that finds the
  // job done.
  if (packed) {
    error = records::SyncFolder(folder);
    if (error.IsError()) return error.Push(FXCODELOC);
  }
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::DownloadCumulativeBitmapFiles(CJobInfoMetadataReaderManagerPtr& manager) {
  EvDebug log;
  std::list<std::string> names;
  CQiError error = manager->DownloadFiles(kCumulativeContainer, names, m_sSubClientDir, 0);
  if (error.IsError()) {
    if (!FXErrorUtil::IsWin32(error, kNotFound)) return error.Push(FXCODELOC);
    log.Debug(__FUNCTION__, "Could not find container '%s' in metadata.", kCumulativeContainer);
    names.clear();
  }
  // The names become paths under the subclient directory: one that is not a
  // plain file name could write anywhere, so nothing is written then.
  for (const std::string& name : names)
    if (!platform::IsPlainName(name))
      return FXErrorUtil::ErrorWin32(FXCODELOC, kBadName, "Container [%s] holds [%s], which is not a plain file name",
                                     kCumulativeContainer, name.c_str());
  const std::string folder = FXPath::Append(m_sSubClientDir, kCumulativeContainer);
  if (!FXPath::DoesPathExist(folder)) {
    error = CQiDirectory::Create(folder.c_str(), false);
    if (error.IsError()) return error.Push(FXCODELOC);
  }
  for (const std::string& name : names) {
    if (!records::IsCumulativeBitmapName(name)) continue;
    CJobInfoMetadataReaderPtr reader = manager->GetActiveMetadataReader();
    if (!reader) return FXErrorUtil::ErrorWin32(FXCODELOC, kOutOfMemory);
    const std::string destination = FXPath::Append(folder, name);
    log.DebugLvl(__FUNCTION__, 3, "Downloading Index file[%s] at[%s]", name.c_str(), destination.c_str());
    error = reader->WriteFileToPath(kCumulativeContainer, name, destination);
    if (error.IsError())
      return error.Push(FXCODELOC, "Failed to write file[%s] at [%s]", name.c_str(), destination.c_str());
  }
  error = records::SyncFolder(folder);
  if (error.IsError()) return error.Push(FXCODELOC);
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::GetCumulativeBmpMap(std::map<std::string, std::string>& bitmaps) {
  EvDebug log;
  const std::string folder = FXPath::Append(m_sSubClientDir, kCumulativeContainer);
  std::vector<std::string> names;
  CQiError error = ListFolder(folder, "*.bmp.7z", names);
  if (error.IsError()) return error;
  for (const std::string& name : names) {
    const std::string path = FXPath::Append(folder, name);
    if (!FXString::MatchRight(path, "CumulativeV2.bmp.7z")) continue;
    std::string contents;
    error = ReadWholeFile(path, contents);
    if (error.IsError()) return error;
    const size_t underscore = name.find('_');
    if (underscore != std::string::npos && name.find('_', underscore + 1) == std::string::npos) {
      bitmaps[name.substr(0, underscore)] = contents;
    }
    log.Debug(__FUNCTION__, "Extracted cumulative bmp, component=[%s], size=%lld.", name.c_str(),
              static_cast<long long>(contents.size()));
  }
  if (bitmaps.empty()) log.Debug(__FUNCTION__, "No cumulative bitmaps identified.");
  return CQiError();
}
