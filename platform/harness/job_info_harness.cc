#include "platform/harness/job_info_harness.h"

#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/compress/c7zip.h"
#include "platform/harness/harness_reads.h"
#include "platform/settings/settings.h"
#include "platform/sim/fs_util.h"
#include "platform/sim/state_db_failure.h"
#include "platform/text/fx_string.h"

namespace blbsim {
namespace {

constexpr const char* kCumulativeSuffix = "_CumulativeV2.bmp";

bool Refuse(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
  return false;
}

// The names of the folder's cumulative bitmap files, in name order.
bool CumulativeBitmapNames(const std::string& folder, std::vector<std::string>& names, std::string* why) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return Refuse(why, "cannot list " + folder + ": " + std::strerror(errno));
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (FXString::MatchRight(name, kCumulativeSuffix) && name.size() > std::strlen(kCumulativeSuffix))
      names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return true;
}

// A private folder below the state directory for the scope.
class ScratchFolder {
 public:
  ScratchFolder() {
    const std::string parent = platform::Settings::StatePath("tmp");
    if (!platform::MakeDirectories(parent)) return;
    std::string pattern = parent + "/jobinfo.XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    if (!path_.empty()) platform::RemoveTree(path_);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

platform::StateDbResult PutJobInfoFile(uint64_t jobId, const std::string& container, const std::string& name,
                                       const std::string& contents) {
  return platform::JobInfoMetadata::Current().PutFile(jobId, container, name, contents);
}

platform::StateDbResult PutJobInfoFileFrom(uint64_t jobId, const std::string& container, const std::string& name,
                                           const std::string& sourcePath) {
  std::string contents;
  if (!platform::ReadWholeFile(sourcePath, contents))
    return platform::StateDbResult::Refused(errno, "cannot read " + sourcePath);
  return PutJobInfoFile(jobId, container, name, contents);
}

std::vector<platform::JobInfoFileRecord> JobInfoFiles() {
  return ReadOrThrow<std::vector<platform::JobInfoFileRecord>>([](std::vector<platform::JobInfoFileRecord>& files) {
    return platform::JobInfoMetadata::Current().Files(files);
  });
}

bool GetJobInfoFile(uint64_t jobId, const std::string& container, const std::string& name,
                    const std::string& destination) {
  std::string contents;
  return platform::JobInfoMetadata::Current().ReadFile(jobId, container, name, contents) == 0 &&
         platform::WriteFileAtomically(destination, contents);
}

bool SetJobInfoJob(const platform::JobInfoJobRecord& job) {
  return platform::JobInfoMetadata::Current().PutJob(job);
}

std::optional<platform::JobInfoJobRecord> FindJobInfoJob(uint64_t jobId) {
  return ReadOrThrow<std::optional<platform::JobInfoJobRecord>>(
      [jobId](std::optional<platform::JobInfoJobRecord>& job) {
        return platform::JobInfoMetadata::Current().FindJob(jobId, job);
      });
}

std::optional<std::vector<std::string>> StoreCumulativeBitmaps(uint64_t jobId, const std::string& jobResultsDir,
                                                               std::string* why) {
  const std::string folder = FXPath::Append(jobResultsDir, kCumulativeBitmapContainer);
  std::vector<std::string> bitmaps;
  if (!CumulativeBitmapNames(folder, bitmaps, why)) return std::nullopt;
  ScratchFolder scratch;
  if (scratch.Path().empty()) {
    Refuse(why,
           "cannot make a scratch folder in " + platform::Settings::StatePath("tmp") + ": " + std::strerror(errno));
    return std::nullopt;
  }
  C7zip zip("", C7zip::kFormat7z);
  std::vector<std::string> stored;
  for (const std::string& bitmap : bitmaps) {
    const std::string name = bitmap + ".7z";
    const std::string archive = scratch.Path() + "/" + name;
    CQiError err = zip.AddFilesToArchive(archive, {folder + "/" + bitmap}, {});
    if (err.IsError()) {
      Refuse(why, err.FirstMessage() +
                      (FXErrorUtil::IsErrNo(err) ? std::string(": ") + std::strerror(FXErrorUtil::GetErrNo(err)) : ""));
      return std::nullopt;
    }
    const platform::StateDbResult put = PutJobInfoFileFrom(jobId, kCumulativeBitmapContainer, name, archive);
    if (!put) {
      Refuse(why, platform::StateDbFailure(FXCODELOC, put, "cannot store %s into job %llu", name.c_str(),
                                           static_cast<unsigned long long>(jobId))
                      .FirstMessage());
      return std::nullopt;
    }
    stored.push_back(name);
  }
  return stored;
}

}  // namespace blbsim
