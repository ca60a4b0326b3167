#pragma once
// Files that a later job or another process reads are written whole under a
// temporary name beside them and then renamed over them, so a crash at any
// point leaves the old file or the new one, never a part.
//
// Each writer takes a temporary name of its own: two processes replacing the
// same file at once must not write into one temporary and rename a mix.
#include <string>

#include "platform/error/qi_error.h"

namespace records {

// "<path>.tmp.<pid>.<sequence>", never handed out twice by one process.
std::string TemporaryNameFor(const std::string& path);

// Who syncs the folder after a replacement: the replacement itself, or the
// caller once for all the files of a step that land in one folder.
enum class FolderSync { kNow, kByCaller };

// Syncs the finished temporary, renames it over the path and syncs the
// folder (unless the caller does). On a failure before the rename the
// temporary is removed and the path keeps its old file; when only the
// folder's sync fails, the path holds the new file, which a power loss may
// still take back.
CQiError ReplaceWithTemporary(const std::string& temporary, const std::string& path,
                              FolderSync folderSync = FolderSync::kNow);

// Puts the finished temporary (synced by the caller) where a folder stands
// at the path, in one step (renameat2 RENAME_EXCHANGE), so that the path
// names one or the other at every moment, and syncs their folder; the folder,
// now under the temporary's name, is then removed if it is empty and left
// there (logged) if not. On a failure of the exchange the temporary is
// removed and the folder stays at the path.
CQiError ExchangeTemporaryForFolder(const std::string& temporary, const std::string& path);

// Syncs a folder, so that what was created, renamed or removed in it outlives
// a power loss too.
CQiError SyncFolder(const std::string& folder);
// The same for the folder holding the path.
CQiError SyncFolderOf(const std::string& path);

}  // namespace records
