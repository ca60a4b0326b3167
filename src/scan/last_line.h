#pragma once
// The last line of a file whose lines may be long, read from its end: the
// volume readers find where to resume in a file of millions of lines with a
// read of a few hundred bytes.
#include <cstdint>
#include <string>

namespace scan {

// The bytes after the last line feed before the file's final byte, up to the
// end (a final line feed stays in the line); the whole file when it holds
// no other line feed; "" for an empty file. Reads the last 128 bytes, then
// twice as many, until two line feeds or the whole file are in the window.
// False when the file cannot be opened or read.
bool ReadLastLine(const std::string& path, std::string& line);

// Cuts off the bytes after the file's last line feed: what a crash in the
// middle of an append leaves of a line. `cut` is the count of bytes
// removed; a missing file has none.
// False, with errno set, when the file cannot be read or cut.
bool CutTornLastLine(const std::string& path, uint64_t& cut);

}  // namespace scan
