#pragma once
// GetGUID: the extent-hashing library's digest of an extent, the MD5 of the
// bytes as 32 lower-case hexadecimal digits (what md5sum prints).
//
// It runs once per extent on every reading thread, so each thread keeps one
// digest context and reuses it; the text is assigned into `out`, whose
// capacity a caller may keep from one extent to the next.
#include <string>

// False, leaving `out` empty, for a null buffer with a non-zero length, a
// negative length, or a digest failure.
bool GetGUID(const unsigned char* buffer, int length, std::string& out);
