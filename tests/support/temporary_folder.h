#pragma once
// Where the tests make their scratch folders, images and mount points: under
// TMPDIR, as other programs do, so that a machine whose /tmp is small or
// shared can send them elsewhere.
#include <string>

namespace testing_support {

// TMPDIR when it is set and not empty, else "/tmp".
std::string TemporaryDirectory();

// A new folder "<TemporaryDirectory()>/<prefix>.XXXXXX" (mkdtemp); empty,
// with a test failure naming the cause, when it cannot be made.
std::string MakeTemporaryFolder(const std::string& prefix);

}  // namespace testing_support
