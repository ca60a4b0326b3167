#pragma once
// What a rerun resumes from must outlive a power loss, which takes back the
// content of a file that was not synced and a name created, renamed or
// removed in a folder that was not synced afterwards. Files replaced whole go
// through file_replacement.h; these are for files appended to in place and
// for the folders that hold them.
#include <string>

#include "platform/error/qi_error.h"

namespace records {

// Syncs a file's content to disk.
CQiError SyncFile(const std::string& path);
// CQiDirectory::Create when the folder is missing, then the name of each
// folder it made synced into its parent. A folder that is there already
// costs nothing.
CQiError CreateFolderDurably(const std::string& folder, bool recursive);

}  // namespace records
