#pragma once
// A 64 MiB (or given size) zeroed device for a test: a loop device when the
// machine gives one, else an image file in the state directory. Writes go
// through the device path and are synced.
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "support/loop_device.h"
#include "support/test_platform.h"

namespace testing_support {

class ScratchDevice {
 public:
  explicit ScratchDevice(const ScopedStateDir& state, uint64_t size = 64 << 20);
  const std::string& Path() const { return path_; }
  bool IsLoopDevice() const { return loop_.Ok(); }
  // Writes length bytes of 'w' at offset; fails the test when it cannot.
  void Write(off_t offset, size_t length = 4096) const;

 private:
  ScopedLoopDevice loop_;
  std::string path_;
};

// A folder of stand-in commands put first on PATH for the test's scope.
class FakeTools {
 public:
  explicit FakeTools(const ScopedStateDir& state);
  ~FakeTools();
  FakeTools(const FakeTools&) = delete;
  FakeTools& operator=(const FakeTools&) = delete;

  // A shell script named name with the body.
  void Add(const std::string& name, const std::string& body) const;
  // An lvs that prints the given lines the way the real one does (padded).
  void Lvs(const std::string& lines) const { Add("lvs", "printf '" + lines + "'\n"); }

 private:
  std::string bin_;
  std::string savedPath_;
};

}  // namespace testing_support
