#pragma once
// A file system mounted on a fresh folder for a test's scope, unmounted (and
// the folder removed) when the scope ends.
//
//   testing_support::ScopedMount tmpfs("tmpfs", "tmpfs", "size=10G");
//   BLB_SKIP_WITHOUT_MOUNT(tmpfs);
//
// Where the machine cannot mount (not root) the test is skipped with that
// reason; a mount that fails otherwise fails the test.
#include <string>

namespace testing_support {

class ScopedMount {
 public:
  ScopedMount(const std::string& source, const std::string& type, const std::string& options = "");
  ~ScopedMount();
  ScopedMount(const ScopedMount&) = delete;
  ScopedMount& operator=(const ScopedMount&) = delete;

  bool Ok() const { return mounted_; }
  const std::string& Path() const { return path_; }
  const std::string& SkipReason() const { return skipReason_; }

 private:
  std::string path_;
  std::string skipReason_;
  bool mounted_ = false;
};

}  // namespace testing_support

#define BLB_SKIP_WITHOUT_MOUNT(mount) \
  if (!(mount).Ok()) GTEST_SKIP() << (mount).SkipReason()
