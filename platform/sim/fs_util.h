#pragma once
// Small POSIX file helpers shared by the stand-in services.
#include <string>

namespace platform {

std::string ParentOf(const std::string& path);
// mkdir -p; true when the directory exists afterwards.
bool MakeDirectories(const std::string& path, unsigned mode = 0755);
// The same for state that a service acknowledges: each folder made is synced
// into its parent, so that its name outlives a power loss. False (errno set)
// when a folder cannot be made or synced.
bool MakeDirectoriesDurably(const std::string& path, unsigned mode = 0755);
// fsync of a folder: the names created, renamed or removed in it so far
// outlive a power loss. False (errno set) when it cannot be synced.
bool SyncFolder(const std::string& folder);
// Whole-file read; false (errno set) when the file cannot be read.
bool ReadWholeFile(const std::string& path, std::string& contents);
// A name beside the path for a temporary that only this call hands out (pid
// and a sequence number): two writers of one file, threads or processes,
// never write into the same temporary and rename a mix of both.
std::string TemporarySibling(const std::string& path);
// Writes a temporary sibling, fsyncs it, renames it over the target and syncs
// the folder, so a reader sees the old or the new contents, never a part,
// and a power loss after it returned takes neither back. errno on failure.
bool WriteFileAtomically(const std::string& path, const std::string& contents, unsigned mode = 0644);
// rm -rf; true when nothing is left.
bool RemoveTree(const std::string& path);

}  // namespace platform
