#pragma once
// Where the content list's errors come from: every error names the source
// "Unix/ContentList" with its function and line.
#include "platform/error/code_location.h"

#define CONTENTLIST_LOC FXCodeLocation("Unix/ContentList", __PRETTY_FUNCTION__, __LINE__)
