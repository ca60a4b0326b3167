#pragma once
// Directory creation, listing and walking, and file-system space.
#include <dirent.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/error/qi_error.h"
#include "platform/text/fx_string.h"

struct SQiDirEntry {
  CQiString m_sName;
  bool m_bIsDirectory = false;
};

class CQiDirectory {
 public:
  using WalkCallback = CQiError (*)(void* context, const char* directory, const char* name, bool isFolder);

  CQiDirectory() = default;
  ~CQiDirectory();
  CQiDirectory(const CQiDirectory&) = delete;
  CQiDirectory& operator=(const CQiDirectory&) = delete;

  // Creates the folder (with its parents when `recursive`); an existing
  // folder is no error.
  static CQiError Create(const char* path, bool recursive);
  // Starts a listing of the entries whose names match the shell pattern;
  // "." and ".." are never listed. Fails when the folder cannot be listed.
  CQiError Open(const char* path, const char* pattern, bool includeFolders);
  // One entry per call, in name order (the whole folder is read at the
  // first call); `end` is set after the last one.
  CQiError GetEntry(SQiDirEntry& entry, bool& end);
  void Close();

  // Calls back once per entry of the folder (not recursive; the callback
  // recurses itself when it wants to), in name order; a callback failure
  // ends the walk and is returned.
  static CQiError Walk(const char* path, void* context, int options, bool followLinks, WalkCallback callback);
  // Total and free bytes of the file system holding the path.
  static CQiError GetSpaceUsage(const char* path, uint64_t& totalBytes, uint64_t& freeBytes);

 private:
  CQiError ReadEntries();

  DIR* m_pDir = nullptr;
  bool m_bRead = false;
  std::vector<std::pair<std::string, bool>> m_vEntries;  // name, is a folder
  size_t m_nNext = 0;
  std::string m_sPath;
  std::string m_sPattern;
  bool m_bIncludeFolders = true;
};
