#pragma once
// CXFileHeader: the 1160-byte header in front of every item written into the
// backup archive stream or published to the backup index. Its layout is a
// wire format shared by every writer of items; the static_asserts below pin
// every field's offset. Values are in the machine's byte order while the
// header is filled.
#include <cstddef>
#include <cstdint>
#include <string>

struct CXFileHeader {
  static constexpr uint32_t kHeaderKind = 3;
  static constexpr uint32_t kSignature = 0x50C0;
  static constexpr size_t kFileNameSize = 1028;
  // The longest name the setter stores: one byte stays for the terminating
  // zero.
  static constexpr size_t kMaxFileNameLength = kFileNameSize - 1;

  uint32_t h_kind;         // 0x00 header kind
  uint32_t h_signature;    // 0x04
  uint32_t h_nlink;        // 0x08 link count
  uint32_t h_namelen;      // 0x0C length of the file name
  uint64_t h_mode;         // 0x10 file mode
  uint64_t h_uid;          // 0x18
  uint64_t h_gid;          // 0x20
  uint32_t h_reserved1;    // 0x28
  uint32_t h_dev;          // 0x2C device (low 32 bits)
  uint64_t h_attributes;   // 0x30 attribute bits
  uint64_t h_filesize;     // 0x38
  uint64_t h_mtime;        // 0x40 modification time, Unix seconds
  uint64_t h_ctime;        // 0x48 change time, Unix seconds
  uint64_t h_reserved2;    // 0x50
  uint64_t h_reserved3;    // 0x58
  uint32_t h_delimiter;    // 0x60 path delimiter character
  uint32_t h_options;      // 0x64 option bits 0, 1, 2
  uint32_t h_reserved4;    // 0x68
  uint32_t h_flags;        // 0x6C flag bits
  uint32_t h_rdev;         // 0x70 special-file device (low 32 bits)
  uint32_t h_reserved5;    // 0x74
  uint8_t h_reserved6[4];  // 0x78
  uint32_t h_atime;        // 0x7C access time, Unix seconds
  uint32_t h_clientOS;     // 0x80 client operating system id
  char h_filename[kFileNameSize];  // 0x84 the item's path, zero-terminated

  // Every byte zero: no stale memory reaches the archive stream or the index.
  CXFileHeader();
  void Clear();

  // The one way to set h_filename: stores at most `limit` bytes of the name
  // (never more than kMaxFileNameLength; the name also ends at its first
  // zero byte) followed by zeros, so the field is always terminated. Returns
  // the number of name bytes stored; fewer than the name's length means the
  // name was cut. h_namelen is left to the caller, whose counting rules
  // differ.
  size_t SetFileName(const std::string& name, size_t limit = kMaxFileNameLength);
  std::string GetFileName() const;
};

static_assert(sizeof(CXFileHeader) == 1160, "CXFileHeader is 1160 bytes");
static_assert(offsetof(CXFileHeader, h_kind) == 0x00, "layout");
static_assert(offsetof(CXFileHeader, h_signature) == 0x04, "layout");
static_assert(offsetof(CXFileHeader, h_nlink) == 0x08, "layout");
static_assert(offsetof(CXFileHeader, h_namelen) == 0x0C, "layout");
static_assert(offsetof(CXFileHeader, h_mode) == 0x10, "layout");
static_assert(offsetof(CXFileHeader, h_uid) == 0x18, "layout");
static_assert(offsetof(CXFileHeader, h_gid) == 0x20, "layout");
static_assert(offsetof(CXFileHeader, h_reserved1) == 0x28, "layout");
static_assert(offsetof(CXFileHeader, h_dev) == 0x2C, "layout");
static_assert(offsetof(CXFileHeader, h_attributes) == 0x30, "layout");
static_assert(offsetof(CXFileHeader, h_filesize) == 0x38, "layout");
static_assert(offsetof(CXFileHeader, h_mtime) == 0x40, "layout");
static_assert(offsetof(CXFileHeader, h_ctime) == 0x48, "layout");
static_assert(offsetof(CXFileHeader, h_reserved2) == 0x50, "layout");
static_assert(offsetof(CXFileHeader, h_reserved3) == 0x58, "layout");
static_assert(offsetof(CXFileHeader, h_delimiter) == 0x60, "layout");
static_assert(offsetof(CXFileHeader, h_options) == 0x64, "layout");
static_assert(offsetof(CXFileHeader, h_reserved4) == 0x68, "layout");
static_assert(offsetof(CXFileHeader, h_flags) == 0x6C, "layout");
static_assert(offsetof(CXFileHeader, h_rdev) == 0x70, "layout");
static_assert(offsetof(CXFileHeader, h_reserved5) == 0x74, "layout");
static_assert(offsetof(CXFileHeader, h_reserved6) == 0x78, "layout");
static_assert(offsetof(CXFileHeader, h_atime) == 0x7C, "layout");
static_assert(offsetof(CXFileHeader, h_clientOS) == 0x80, "layout");
static_assert(offsetof(CXFileHeader, h_filename) == 0x84, "layout");
