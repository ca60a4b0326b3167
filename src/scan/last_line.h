#pragma once
// The last line of a file whose lines may be long, read from its end: the
// volume readers find where to resume in a file of millions of lines with a
// read of a few hundred bytes.
#include <string>

namespace scan {

// The bytes after the last line feed before the file's final byte, up to the
// end (a final line feed stays in the line); the whole file when it holds
// no other line feed; "" for an empty file. Reads the last 128 bytes, then
// twice as many, until two line feeds or the whole file are in the window.
// False when the file cannot be opened or read.
bool ReadLastLine(const std::string& path, std::string& line);

}  // namespace scan
