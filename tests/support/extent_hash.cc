#include "support/extent_hash.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "support/ext_image.h"

namespace testing_support {

std::string Md5Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
  std::string hex;
  char pair[3];
  for (unsigned i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof(pair), "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

std::string ReadExtent(const std::string& device, uint64_t extent, uint64_t extentSize) {
  std::string bytes(extentSize, '\0');
  const int fd = ::open(device.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0) << device;
  if (fd < 0) return bytes;
  EXPECT_GE(::pread(fd, &bytes[0], bytes.size(), static_cast<off_t>(extent * extentSize)), 0);
  ::close(fd);
  return bytes;
}

std::set<uint64_t> ExtentsInUse(const std::string& image, uint64_t extentSize, uint64_t deviceSize) {
  ExtAllocation allocation;
  EXPECT_TRUE(ReadAllocation(image, allocation));
  const std::vector<unsigned char> bitmap = ExpectedExtentBitmap(allocation, extentSize, deviceSize);
  std::set<uint64_t> used;
  for (uint64_t i = 0; i < deviceSize / extentSize; ++i)
    if (i / 8 < bitmap.size() && ((bitmap[i / 8] >> (i % 8)) & 1)) used.insert(i);
  return used;
}

}  // namespace testing_support
