#pragma once
// The archive interface's conversion of an item header from the machine's
// byte order to the archive stream's. The simulated stream is
// little-endian, like every host this builds for, so the converted header
// is byte for byte the one given.
#include "platform/services/cx_file_header.h"

// Converts in place; a null header is left alone.
void ConvertCXFileHeaderByteOrder(CXFileHeader* header);
