#pragma once
// One level of a symbolic link, made absolute.
#include <string>

#include "platform/error/qi_error.h"

// Reads the link at `path` (one level only) and gives its target made
// absolute: a target beginning with "/" as it is, any other taken from the
// link's own folder. Fails with 1627 when the link cannot be read.
CQiError ReadLinkTargetOneLevel(const std::string& path, std::string& resolved);
