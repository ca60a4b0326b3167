#include "scan/cumulative_bitmap_helper.h"

CQiError CCumulativeBitmapHelper::ResetVolumesWithMissingExtentsInJobManager() { return CQiError(); }
