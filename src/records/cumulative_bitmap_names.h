#pragma once
// Which names in a cumulative-bitmap folder or container ("BlockLevelCumulativeBM")
// are cumulative bitmaps: a bitmap file (".bmp") or its 7-Zip archive
// (".bmp.7z"). The upload and the downloads choose by this one test. The
// temporary of a write or download cut short ("<name>.bmp.7z.tmp.<pid>.<n>")
// is neither: it holds anything from nothing to a whole copy.
#include <string>

namespace records {

bool IsCumulativeBitmapName(const std::string& name);

}  // namespace records
