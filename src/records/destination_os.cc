#include "records/destination_os.h"

#include <algorithm>
#include <iterator>

namespace records {

bool IsUnixOsId(int id) {
  static const int kSingles[] = {6, 7, 14, 15, 20, 22, 23, 25, 26, 28, 30, 33, 36, 38, 40, 42, 43, 44, 47};
  if (std::find(std::begin(kSingles), std::end(kSingles), id) != std::end(kSingles)) return true;
  return (id >= 49 && id <= 54) || (id >= 57 && id <= 61) || (id >= 68 && id <= 83) || (id >= 85 && id <= 92) ||
         (id >= 95 && id <= 98) || (id >= 100 && id <= 115) || (id >= 201 && id <= 207);
}

bool IsWindowsOsId(int id) {
  static const int kSingles[] = {2, 3, 21, 24, 27, 34, 35, 39, 46, 48, 93, 94, 200};
  if (std::find(std::begin(kSingles), std::end(kSingles), id) != std::end(kSingles)) return true;
  return (id >= 62 && id <= 67) || (id >= 208 && id <= 213);
}

}  // namespace records
