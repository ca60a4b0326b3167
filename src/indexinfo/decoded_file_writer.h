#pragma once
// The content of a file browsed back from the index: the data text of its
// item, base-85 chunks each ending in "~>", as the upload encoded the file a
// chunk at a time.
#include <string>

#include "platform/error/qi_error.h"

namespace indexinfo {

// Decodes the chunks of the data text in order into the output file. The
// text is taken a chunk at a time while more than 4 characters are left
// (everything up to the first "~>" after its "<~", or the whole rest when it
// holds none); a shorter remainder is no chunk and is dropped. An empty text
// gives an empty file.
//
// The file is written under a temporary name beside it and renamed over the
// output only once every chunk is in it, so the output is either the whole
// decoded file or what it was before. A failure (the file cannot be made, a
// chunk does not decode, a write or the rename fails) is logged and
// returned.
CQiError WriteDecodedFile(const std::string& dataText, const std::string& outputFile);

}  // namespace indexinfo
