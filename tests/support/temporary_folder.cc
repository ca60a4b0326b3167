#include "support/temporary_folder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace testing_support {

std::string TemporaryDirectory() {
  const char* directory = std::getenv("TMPDIR");
  return directory != nullptr && *directory != '\0' ? directory : "/tmp";
}

std::string MakeTemporaryFolder(const std::string& prefix) {
  const std::string pattern = TemporaryDirectory() + "/" + prefix + ".XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  if (::mkdtemp(path.data()) == nullptr) {
    ADD_FAILURE() << "cannot make a folder " << pattern << ": " << std::strerror(errno);
    return std::string();
  }
  return path.data();
}

}  // namespace testing_support
