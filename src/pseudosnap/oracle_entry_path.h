#pragma once
// The table-view entries of an Oracle job's index are recognised by their
// parent: the first two components of the path.
#include <string>

// "/TblView/PROD/USERS" gives "/TblView/PROD/" (the delimiter the path
// uses, "/" before "\"); a path of fewer than three delimiters, or whose
// second component is blank, gives "".
std::string GetOraEntryParentPath(const std::string& path);
