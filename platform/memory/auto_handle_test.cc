#include "platform/memory/auto_handle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

}  // namespace

TEST(auto_handle, ResetClosesEveryValidDescriptorIncludingZero) {
  int saved = ::dup(0);
  ASSERT_GE(saved, 0);
  {
    auto_handle zero(0);
    zero.reset(-1);
    EXPECT_FALSE(IsOpen(0));
  }
  ASSERT_EQ(::dup2(saved, 0), 0);
  ::close(saved);

  int fd = ::open("/dev/null", O_RDONLY);
  {
    auto_handle held(fd);
    held.reset(fd);  // the same descriptor stays open
    EXPECT_TRUE(IsOpen(fd));
  }
  EXPECT_FALSE(IsOpen(fd));

  int kept = ::open("/dev/null", O_RDONLY);
  {
    auto_handle released(kept);
    EXPECT_EQ(released.release(), kept);
  }
  EXPECT_TRUE(IsOpen(kept));
  ::close(kept);
}

TEST(auto_ptr_array, ResetWithHeldPointerKeepsIt) {
  char* array = new char[16];
  auto_ptr_array<char> holder(array);
  holder.reset(array);  // must not delete what it keeps holding
  array[0] = 'x';       // still valid (ASan would flag a use after free)
  EXPECT_EQ(holder.get()[0], 'x');
  holder.reset(new char[4]);
  char* released = holder.release();
  EXPECT_EQ(holder.get(), nullptr);
  delete[] released;

  CAutoMemory empty;
  EXPECT_EQ(empty.Ptr_const(), nullptr);
  CAutoMemory sized(8);
  EXPECT_NE(sized.Ptr_const(), nullptr);
}
