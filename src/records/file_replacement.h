#pragma once
// Files that a later job or another process reads are written whole under a
// temporary name beside them and then renamed over them, so a crash at any
// point leaves the old file or the new one, never a part.
//
// Each writer takes a temporary name of its own: two processes replacing the
// same file at once must not write into one temporary and rename a mix.
//
// A power loss also takes back what was not synced: the content of a file,
// and a name created, renamed or removed in a folder that was not synced
// afterwards. Where several files of one folder change together, their
// writer syncs the folder once, after the last of them.
#include <string>

#include "platform/error/qi_error.h"

namespace records {

// "<path>.tmp.<pid>.<sequence>", never handed out twice by one process.
std::string TemporaryNameFor(const std::string& path);

// Syncs the finished temporary, renames it over the path and syncs the
// folder. On failure the temporary is removed and the path keeps its old
// file.
CQiError ReplaceWithTemporary(const std::string& temporary, const std::string& path);

// Syncs a file's content to disk.
CQiError SyncFile(const std::string& path);
// Syncs a folder, so that the names created, renamed or removed in it so far
// outlive a power loss.
CQiError SyncFolder(const std::string& folder);
// CQiDirectory::Create when the folder is missing, then the name of each
// folder it made synced into its parent. A folder that is there already costs
// nothing.
CQiError CreateFolderDurably(const std::string& folder, bool recursive);

}  // namespace records
