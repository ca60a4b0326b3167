#include "support/ext_image.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/sim/fs_util.h"
#include "support/run_command.h"

namespace testing_support {
namespace {

bool Run(const std::string& command) {
  const int status = RunCommand(command);
  EXPECT_EQ(status, 0) << command;
  return status == 0;
}

}  // namespace

bool MakeExt4Image(const std::string& image, uint64_t sizeMiB,
                   const std::vector<std::pair<std::string, uint64_t>>& files, unsigned blockSize) {
  const std::string folder = image + ".content";
  platform::RemoveTree(folder);
  if (!platform::MakeDirectories(folder)) {
    ADD_FAILURE() << "cannot create " << folder;
    return false;
  }
  std::mt19937_64 random(42);
  for (const auto& [name, bytes] : files) {
    std::ofstream out(folder + "/" + name, std::ios::binary);
    std::vector<uint64_t> chunk(8192);
    for (uint64_t written = 0; written < bytes;) {
      for (uint64_t& word : chunk) word = random() | 1;
      const uint64_t n = std::min<uint64_t>(bytes - written, chunk.size() * sizeof(uint64_t));
      out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
      written += n;
    }
    if (!out) {
      ADD_FAILURE() << "cannot write " << name;
      return false;
    }
  }
  std::remove(image.c_str());
  std::ostringstream command;
  command << "truncate -s " << sizeMiB << "M '" << image << "' && mkfs.ext4 -q -F";
  if (blockSize != 0) command << " -b " << blockSize;
  command << " -d '" << folder << "' '" << image << "' >/dev/null 2>&1";
  const bool ok = Run(command.str());
  platform::RemoveTree(folder);
  return ok;
}

bool ReadAllocation(const std::string& image, ExtAllocation& allocation) {
  const std::string text = CommandOutput("dumpe2fs '" + image + "' 2>/dev/null");
  uint64_t blocks = 0;
  std::istringstream lines(text);
  std::string line;
  std::vector<std::pair<uint64_t, uint64_t>> free;
  while (std::getline(lines, line)) {
    if (line.rfind("Block count:", 0) == 0) blocks = std::strtoull(line.c_str() + 12, nullptr, 10);
    if (line.rfind("Block size:", 0) == 0) allocation.blockSize = std::strtoull(line.c_str() + 11, nullptr, 10);
    const std::string key = "  Free blocks: ";
    if (line.rfind(key, 0) != 0) continue;
    std::istringstream ranges(line.substr(key.size()));
    std::string range;
    while (std::getline(ranges, range, ',')) {
      char* end = nullptr;
      uint64_t from = std::strtoull(range.c_str(), &end, 10);
      uint64_t to = *end == '-' ? std::strtoull(end + 1, nullptr, 10) : from;
      free.emplace_back(from, to);
    }
  }
  if (blocks == 0 || allocation.blockSize == 0) return false;
  allocation.used.assign(blocks, true);
  for (const auto& [from, to] : free)
    for (uint64_t b = from; b <= to && b < blocks; ++b) allocation.used[b] = false;
  return true;
}

std::vector<unsigned char> ExpectedExtentBitmap(const ExtAllocation& allocation, uint64_t extentSize,
                                                uint64_t deviceBytes) {
  const uint64_t extents = (deviceBytes + extentSize - 1) / extentSize;
  std::vector<unsigned char> bitmap((extents + 7) / 8, 0);
  for (uint64_t b = 0; b < allocation.used.size(); ++b) {
    if (!allocation.used[b]) continue;
    for (uint64_t e = b * allocation.blockSize / extentSize; e <= ((b + 1) * allocation.blockSize - 1) / extentSize;
         ++e)
      bitmap[e / 8] = static_cast<unsigned char>(bitmap[e / 8] | (1u << (e % 8)));
  }
  return bitmap;
}

}  // namespace testing_support
