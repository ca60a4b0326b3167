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

// Syncs the finished temporary, renames it over the path and syncs the
// folder. On failure the temporary is removed and the path keeps its old
// file.
CQiError ReplaceWithTemporary(const std::string& temporary, const std::string& path);

// Syncs a folder, so that the names made or removed in it outlive a crash.
CQiError SyncFolder(const std::string& folder);

}  // namespace records
