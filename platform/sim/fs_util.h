#pragma once
// Small POSIX file helpers shared by the stand-in services.
#include <string>

namespace platform {

std::string ParentOf(const std::string& path);
// mkdir -p; true when the directory exists afterwards.
bool MakeDirectories(const std::string& path, unsigned mode = 0755);
// Whole-file read; false (errno set) when the file cannot be read.
bool ReadWholeFile(const std::string& path, std::string& contents);
// A name beside the path for a temporary that only this call hands out (pid
// and a sequence number): two writers of one file, threads or processes,
// never write into the same temporary and rename a mix of both.
std::string TemporarySibling(const std::string& path);
// Writes a temporary sibling, fsyncs it and renames it over the target, so a
// reader sees the old or the new contents, never a part. errno on failure.
bool WriteFileAtomically(const std::string& path, const std::string& contents, unsigned mode = 0644);
// rm -rf; true when nothing is left.
bool RemoveTree(const std::string& path);

}  // namespace platform
