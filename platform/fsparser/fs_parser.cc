#include "platform/fsparser/fs_parser.h"

#include <ext2fs/ext2fs.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/memory/auto_handle.h"
#include "platform/sim/fault_table.h"

namespace {

// The bytes a device or image file holds; 0 when unknown.
uint64_t DeviceBytes(const std::string& device) {
  auto_handle fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return 0;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return 0;
  if (S_ISBLK(st.st_mode)) {
    uint64_t bytes = 0;
    return ::ioctl(fd.get(), BLKGETSIZE64, &bytes) == 0 ? bytes : 0;
  }
  return S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
}

// Errors of libext2fs that mean "this is not an ext2/3/4 file system".
bool IsNotExtFileSystem(errcode_t code) {
  return code == EXT2_ET_BAD_MAGIC || code == EXT2_ET_SHORT_READ || code == EXT2_ET_UNEXPECTED_BLOCK_SIZE ||
         code == EXT2_ET_REV_TOO_HIGH || code == EXT2_ET_SB_CSUM_INVALID;
}

CQiError Ext2Error(const FXCodeLocation& location, errcode_t code, const char* what, const std::string& device) {
  // Small codes are errno values passed through by the unix I/O manager.
  const int errnoCode = code > 0 && code < 4096 ? static_cast<int>(code) : EIO;
  return FXErrorUtil::ErrorErrNo(location, errnoCode, "%s failed for [%s]: %s", what, device.c_str(),
                                 error_message(code));
}

}  // namespace

FsParser::~FsParser() {
  if (m_pFs != nullptr) ext2fs_close_free(&m_pFs);
}

std::unique_ptr<FsParser> FsParser::init(const std::string& device, CQiError& error) {
  error = platform::InjectedFault("FsParser::init", FXCODELOC);
  if (error.IsError()) return nullptr;

  ext2_filsys fs = nullptr;
  errcode_t code = ext2fs_open(device.c_str(), EXT2_FLAG_64BITS, 0, 0, unix_io_manager, &fs);
  if (code != 0) {
    if (fs != nullptr) ext2fs_close_free(&fs);
    if (IsNotExtFileSystem(code)) {
      error = FXErrorUtil::ErrorErrNo(FXCODELOC, ENOSYS, "No ext2/ext3/ext4 file system on [%s]: %s", device.c_str(),
                                      error_message(code));
    } else {
      error = Ext2Error(FXCODELOC, code, "ext2fs_open", device);
    }
    return nullptr;
  }
  // A journal that still needs replaying means the on-disk bitmaps may miss
  // recent allocations; masking with them would drop changed extents. (A
  // frozen file system's snapshot has its journal flushed and the flag clear.)
  if (ext2fs_has_feature_journal_needs_recovery(fs->super)) {
    ext2fs_close_free(&fs);
    error = FXErrorUtil::ErrorErrNo(FXCODELOC, EAGAIN,
                                    "File system on [%s] has a journal that needs recovery; its block bitmap "
                                    "cannot be trusted",
                                    device.c_str());
    return nullptr;
  }
  error.Success();
  return std::unique_ptr<FsParser>(new FsParser(fs, device, DeviceBytes(device)));
}

CQiError FsParser::GetAllocatedExtentBitmap(uint64_t extentSize, unsigned char** bitmap, uint64_t& extentCount) {
  CQiError err = platform::InjectedFault("FsParser::GetAllocatedExtentBitmap", FXCODELOC);
  if (err.IsError()) return err;
  if (bitmap == nullptr || extentSize == 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Invalid arguments, extentSize=%llu",
                                   static_cast<unsigned long long>(extentSize));
  *bitmap = nullptr;

  // A run-length (red-black tree) bitmap keeps memory in step with the
  // allocated runs: a flat one for a 100 TiB file system would take GiBs.
  m_pFs->default_bitmap_type = EXT2FS_BMAP64_RBTREE;
  errcode_t code = ext2fs_read_block_bitmap(m_pFs);
  if (code != 0) return Ext2Error(FXCODELOC, code, "ext2fs_read_block_bitmap", m_sDevice);

  const uint64_t blockSize = EXT2_BLOCK_SIZE(m_pFs->super);
  const uint64_t blocks = ext2fs_blocks_count(m_pFs->super);
  const uint64_t fsBytes = blocks * blockSize;
  const uint64_t bytes = std::max(m_nDeviceBytes, fsBytes);
  const uint64_t extents = bytes / extentSize + (bytes % extentSize != 0 ? 1 : 0);
  unsigned char* out =
      static_cast<unsigned char*>(std::calloc(std::max<uint64_t>(1, extents / 8 + (extents % 8 != 0 ? 1 : 0)), 1));
  if (out == nullptr) return FXErrorUtil::ErrorErrNo(FXCODELOC, ENOMEM, "Failed to allocate extent bitmap");

  // Blocks before the first data block (the boot block of 1 KiB file
  // systems) are not in the bitmap; they share extent 0 with the superblock,
  // which is always allocated.
  if (extents > 0) set_bmp_bit(0, out);
  const uint64_t first = m_pFs->super->s_first_data_block;
  const uint64_t last = blocks > 0 ? blocks - 1 : 0;
  uint64_t start = first;
  // Jump from one allocated block to the next, skipping the rest of each
  // extent found: the cost follows the extents, not the blocks.
  while (blocks > 0 && start <= last) {
    blk64_t found = 0;
    const errcode_t search = ext2fs_find_first_set_block_bitmap2(m_pFs->block_map, start, last, &found);
    if (search == ENOENT) break;
    // Anything else would leave allocated extents out, and masking with
    // such a bitmap drops changed data.
    if (search != 0) {
      std::free(out);
      return Ext2Error(FXCODELOC, search, "ext2fs_find_first_set_block_bitmap2", m_sDevice);
    }
    const uint64_t firstExtent = (found * blockSize) / extentSize;
    const uint64_t lastExtent = ((found + 1) * blockSize - 1) / extentSize;
    for (uint64_t e = firstExtent; e <= lastExtent && e < extents; ++e) set_bmp_bit(static_cast<long long>(e), out);
    const uint64_t next = ((lastExtent + 1) * extentSize) / blockSize;
    start = std::max<uint64_t>(found + 1, next);
  }
  *bitmap = out;
  extentCount = extents;
  return CQiError();
}
