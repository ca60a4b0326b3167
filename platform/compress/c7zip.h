#pragma once
// C7zip: the agent's 7-Zip compressor, over libarchive. Archives are real
// 7-Zip archives (LZMA2), read and written by the `7z` command alike.
//
// Extraction keeps every member inside the target folder: a member with an
// absolute path or a ".." component, a link (symbolic or hard), a device or
// any other special file is refused (774) before anything of it is written,
// and no folder on the way may be a link. Each file is written to a
// temporary beside its target and renamed over it once synced, so a crash
// leaves the old file or the new one.
//
// Faults (the call fails with the fault's code): "C7zip::Initialize",
// "C7zip::ExtractFilesFromArchive", "C7zip::AddFilesToArchive".
#include <list>
#include <map>
#include <string>

#include "platform/error/qi_error.h"

class C7zip {
 public:
  // The only compression format known here: 7-Zip.
  static constexpr int kFormat7z = 2;

  // The home directory is where the agent keeps its compressor; libarchive
  // is linked in here, so it is only kept.
  C7zip(const std::string& homeDirectory, int compressionFormat)
      : m_sHomeDirectory(homeDirectory), m_nCompressionFormat(compressionFormat) {}

  // Fails (50) for a compression format other than 7-Zip.
  CQiError Initialize();
  // Extracts every member of the archive into the folder (created when
  // absent), replacing files of the same names.
  CQiError ExtractFilesFromArchive(const std::string& archive, const std::string& folder);
  // Writes a new archive (replacing one of that name, whole or not at all;
  // its folder is created when absent)
  // holding each file under its bare name, or under the name the map gives
  // its path. Only regular files are taken; two members of one name are
  // refused (774).
  CQiError AddFilesToArchive(const std::string& archive, const std::list<std::string>& files,
                             const std::map<std::string, std::string>& nameMap);

 private:
  std::string m_sHomeDirectory;
  int m_nCompressionFormat;
};
