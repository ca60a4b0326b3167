#pragma once
// 7-Zip archives for tests: made by the 7z command, or written member by
// member with any names and kinds (names that lead outside a folder, links),
// as only a hostile archive would hold them.
#include <string>
#include <vector>

namespace testing_support {

struct ArchiveMember {
  std::string name;
  std::string contents;
  std::string linkTarget;  // a symbolic link to it when not empty
};

// Fails the test when the archive cannot be written.
void WriteRawSevenZip(const std::string& path, const std::vector<ArchiveMember>& members);

// `7z a` of the folder's files (bare names) into the archive; its status.
int SevenZipAdd(const std::string& folder, const std::string& archive, const std::vector<std::string>& names);

}  // namespace testing_support
