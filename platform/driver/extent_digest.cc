#include "platform/driver/extent_digest.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <openssl/evp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/memory/auto_handle.h"

namespace platform {
namespace {

constexpr size_t kReadSize = 8u << 20;
constexpr size_t kAlignment = 4096;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

struct DigestDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

int DeviceSize(int fd, uint64_t& size) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return errno;
  if (S_ISBLK(info.st_mode)) {
    unsigned long long bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) return errno;
    size = bytes;
    return 0;
  }
  if (!S_ISREG(info.st_mode)) return ENOTBLK;
  size = static_cast<uint64_t>(info.st_size);
  return 0;
}

int ReadDevice(const std::string& device, uint64_t& size,
               const std::function<int(const unsigned char* data, size_t length)>& consume) {
  struct stat info;
  if (::stat(device.c_str(), &info) != 0) return errno;
  // The kernel writes back dirty cached blocks of the range before a direct
  // read, so nothing written before the read is missed.
  auto_handle fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC | (S_ISBLK(info.st_mode) ? O_DIRECT : 0)));
  if (fd.get() < 0 && errno == EINVAL) fd.reset(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return errno;
  if (int error = DeviceSize(fd.get(), size)) return error;

  void* raw = nullptr;
  if (::posix_memalign(&raw, kAlignment, kReadSize) != 0) return ENOMEM;
  std::unique_ptr<unsigned char, FreeDeleter> buffer(static_cast<unsigned char*>(raw));
  for (uint64_t offset = 0; offset < size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kReadSize, size - offset));
    ssize_t got = ::pread(fd.get(), buffer.get(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return EIO;  // the device shrank under us
    if (int error = consume(buffer.get(), static_cast<size_t>(got))) return error;
    offset += static_cast<uint64_t>(got);
  }
  return 0;
}

int DigestExtents(const std::string& device, uint64_t extentSize, std::vector<ExtentDigest>& digests,
                  uint64_t& size) {
  digests.clear();
  if (extentSize == 0) return EINVAL;
  std::unique_ptr<EVP_MD_CTX, DigestDeleter> context(EVP_MD_CTX_new());
  if (!context) return ENOMEM;
  uint64_t inExtent = 0;  // bytes of the current extent digested so far
  uint64_t done = 0;      // bytes digested so far
  size = 0;
  return ReadDevice(device, size, [&](const unsigned char* data, size_t length) {
    if (digests.empty()) digests.reserve((size + extentSize - 1) / extentSize);
    size_t used = 0;
    while (used < length) {
      if (inExtent == 0 && EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) return EIO;
      const size_t take = static_cast<size_t>(std::min<uint64_t>(extentSize - inExtent, length - used));
      EVP_DigestUpdate(context.get(), data + used, take);
      used += take;
      inExtent += take;
      if (inExtent == extentSize || done + used == size) {
        ExtentDigest digest{};
        unsigned digestLength = 0;
        EVP_DigestFinal_ex(context.get(), digest.data(), &digestLength);
        digests.push_back(digest);
        inExtent = 0;
      }
    }
    done += length;
    return 0;
  });
}

}  // namespace platform
