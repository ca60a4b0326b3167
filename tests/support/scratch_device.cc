#include "support/scratch_device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace testing_support {

ScratchDevice::ScratchDevice(const ScopedStateDir& state, uint64_t size) : loop_(size), path_(loop_.Device()) {
  if (loop_.Ok()) return;
  path_ = state.Sub("disk.img");
  const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
  ::close(fd);
}

void ScratchDevice::Write(off_t offset, size_t length) const {
  const int fd = ::open(path_.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const std::string data(length, 'w');
  ASSERT_EQ(::pwrite(fd, data.data(), length, offset), static_cast<ssize_t>(length));
  ASSERT_EQ(::fsync(fd), 0);
  ::close(fd);
}

FakeTools::FakeTools(const ScopedStateDir& state) : bin_(state.Sub("bin")), savedPath_(std::getenv("PATH")) {
  ::mkdir(bin_.c_str(), 0755);
  ::setenv("PATH", (bin_ + ":" + savedPath_).c_str(), 1);
}

FakeTools::~FakeTools() { ::setenv("PATH", savedPath_.c_str(), 1); }

void FakeTools::Add(const std::string& name, const std::string& body) const {
  const std::string path = bin_ + "/" + name;
  WriteFile(path, "#!/bin/sh\n" + body);
  ::chmod(path.c_str(), 0755);
}

}  // namespace testing_support
