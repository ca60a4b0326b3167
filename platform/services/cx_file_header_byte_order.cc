#include "platform/services/cx_file_header_byte_order.h"

// A big-endian host would have to swap every numeric field here, by the
// offsets cx_file_header.h pins.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the archive stream is little-endian");

void ConvertCXFileHeaderByteOrder(CXFileHeader*) {}
