#include "platform/compress/c7zip.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "platform/memory/auto_handle.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"
#include "platform/text/fx_string.h"

namespace {

constexpr unsigned kOutOfMemory = 14;
constexpr unsigned kNotSupported = 50;
constexpr unsigned kRefused = 774;
constexpr size_t kChunkBytes = 1 << 20;

struct ReaderFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
struct WriterFree {
  void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryFree {
  void operator()(archive_entry* e) const { archive_entry_free(e); }
};
using Reader = std::unique_ptr<archive, ReaderFree>;
using Writer = std::unique_ptr<archive, WriterFree>;
using Entry = std::unique_ptr<archive_entry, EntryFree>;

const char* Why(archive* a) {
  const char* text = archive_error_string(a);
  return text != nullptr ? text : "unknown error";
}

// The components of a member name that stays inside the folder it goes
// into: relative, without "..". "." and empty components are dropped.
std::optional<std::vector<std::string>> InsideComponents(const std::string& name) {
  if (name.empty() || name[0] == '/') return std::nullopt;
  std::vector<std::string> parts;
  for (const FXString& part : FXString::Split(name, '/')) {
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") parts.push_back(part);
  }
  if (parts.empty()) return std::nullopt;
  return parts;
}

// Makes the first `count` components below the root as folders; one that
// exists as anything but a real folder (a link to elsewhere above all) is
// refused.
CQiError MakeInnerFolders(const std::string& root, const std::vector<std::string>& parts, size_t count,
                          const std::string& archivePath) {
  std::string path = root;
  for (size_t i = 0; i < count; ++i) {
    path += "/" + parts[i];
    if (::mkdir(path.c_str(), 0755) == 0) continue;
    if (errno != EEXIST) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to create folder [%s]", path.c_str());
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0)
      return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to check folder [%s]", path.c_str());
    if (!S_ISDIR(info.st_mode))
      return FXErrorUtil::ErrorWin32(FXCODELOC, kRefused, "Refused to extract archive [%s] through [%s], no folder",
                                     archivePath.c_str(), path.c_str());
  }
  return CQiError();
}

bool WriteAll(int fd, const char* bytes, size_t size, int64_t offset) {
  while (size > 0) {
    const ssize_t put = ::pwrite(fd, bytes, size, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return false;
    }
    bytes += put;
    size -= static_cast<size_t>(put);
    offset += put;
  }
  return true;
}

// The current member's data into a synced temporary, renamed over the target.
CQiError WriteMember(archive* reader, const std::string& target, int64_t declaredSize, const std::string& archivePath) {
  const std::string temporary = platform::TemporarySibling(target);
  auto_handle fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (fd.get() < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to create [%s]", temporary.c_str());
  CQiError err;
  int64_t end = 0;
  for (;;) {
    const void* block = nullptr;
    size_t length = 0;
    la_int64_t offset = 0;
    const int read = archive_read_data_block(reader, &block, &length, &offset);
    if (read == ARCHIVE_EOF) break;
    if (read != ARCHIVE_OK) {
      err = FXErrorUtil::ErrorWin32(FXCODELOC, kRefused, "Failed to read [%s] from archive [%s]: %s", target.c_str(),
                                    archivePath.c_str(), Why(reader));
      break;
    }
    if (!WriteAll(fd.get(), static_cast<const char*>(block), length, offset)) {
      err = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to write [%s]", temporary.c_str());
      break;
    }
    end = std::max<int64_t>(end, offset + static_cast<int64_t>(length));
  }
  // A sparse member ends in a hole that no block covers.
  end = std::max(end, declaredSize);
  if (!err.IsError() &&
      (::ftruncate(fd.get(), static_cast<off_t>(end)) != 0 || ::fsync(fd.get()) != 0 || ::close(fd.release()) != 0))
    err = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to write [%s]", temporary.c_str());
  if (!err.IsError() && ::rename(temporary.c_str(), target.c_str()) != 0)
    err = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to replace [%s]", target.c_str());
  if (err.IsError()) ::unlink(temporary.c_str());
  return err;
}

CQiError ExtractMember(archive* reader, archive_entry* entry, const std::string& folder,
                       const std::string& archivePath) {
  const char* utf8 = archive_entry_pathname_utf8(entry);
  const char* local = archive_entry_pathname(entry);
  const std::string name = utf8 != nullptr ? utf8 : local != nullptr ? local : "";
  std::optional<std::vector<std::string>> parts = InsideComponents(name);
  if (!parts)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kRefused, "Refused member [%s] of archive [%s]: it leads outside [%s]",
                                   name.c_str(), archivePath.c_str(), folder.c_str());
  const mode_t type = archive_entry_filetype(entry);
  if (archive_entry_hardlink(entry) != nullptr || type == AE_IFLNK)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kRefused, "Refused member [%s] of archive [%s]: it is a link",
                                   name.c_str(), archivePath.c_str());
  if (type == AE_IFDIR) return MakeInnerFolders(folder, *parts, parts->size(), archivePath);
  if (type != AE_IFREG)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kRefused, "Refused member [%s] of archive [%s]: not a regular file",
                                   name.c_str(), archivePath.c_str());
  CQiError err = MakeInnerFolders(folder, *parts, parts->size() - 1, archivePath);
  if (err.IsError()) return err;
  std::string target = folder;
  for (const std::string& part : *parts) target += "/" + part;
  const int64_t size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0;
  return WriteMember(reader, target, size, archivePath);
}

// One member's header and data, read from the file as it is now.
CQiError AddMember(archive* writer, const std::string& path, const std::string& name, const std::string& archivePath,
                   std::vector<char>& buffer) {
  auto_handle in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info;
  if (in.get() < 0 || ::fstat(in.get(), &info) != 0)
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open [%s] to archive it", path.c_str());
  if (!S_ISREG(info.st_mode))
    return FXErrorUtil::ErrorWin32(FXCODELOC, kRefused, "Refused to archive [%s]: not a regular file", path.c_str());
  Entry entry(archive_entry_new());
  if (!entry) return FXErrorUtil::ErrorWin32(FXCODELOC, kOutOfMemory);
  archive_entry_set_pathname_utf8(entry.get(), name.c_str());
  archive_entry_set_filetype(entry.get(), AE_IFREG);
  archive_entry_set_perm(entry.get(), info.st_mode & 0777);
  archive_entry_set_size(entry.get(), info.st_size);
  archive_entry_set_mtime(entry.get(), info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
  if (archive_write_header(writer, entry.get()) != ARCHIVE_OK)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kRefused, "Failed to add [%s] to archive [%s]: %s", path.c_str(),
                                   archivePath.c_str(), Why(writer));
  int64_t total = 0;
  for (;;) {
    const ssize_t got = ::read(in.get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to read [%s] to archive it", path.c_str());
    if (got == 0) break;
    if (archive_write_data(writer, buffer.data(), static_cast<size_t>(got)) != got)
      return FXErrorUtil::ErrorWin32(FXCODELOC, kRefused, "Failed to add [%s] to archive [%s]: %s", path.c_str(),
                                     archivePath.c_str(), Why(writer));
    total += got;
  }
  if (total != info.st_size)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kRefused, "[%s] changed size while it was archived", path.c_str());
  return CQiError();
}

CQiError WriteArchive(int fd, const std::vector<std::pair<std::string, std::string>>& members,
                      const std::string& archivePath) {
  Writer writer(archive_write_new());
  if (!writer) return FXErrorUtil::ErrorWin32(FXCODELOC, kOutOfMemory);
  if (archive_write_set_format_7zip(writer.get()) != ARCHIVE_OK ||
      archive_write_set_format_option(writer.get(), "7zip", "compression", "lzma2") != ARCHIVE_OK ||
      archive_write_set_bytes_in_last_block(writer.get(), 1) != ARCHIVE_OK ||
      archive_write_open_fd(writer.get(), fd) != ARCHIVE_OK)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kRefused, "Failed to start archive [%s]: %s", archivePath.c_str(),
                                   Why(writer.get()));
  std::vector<char> buffer(kChunkBytes);
  for (const auto& [path, name] : members) {
    CQiError err = AddMember(writer.get(), path, name, archivePath, buffer);
    if (err.IsError()) return err;
  }
  if (archive_write_close(writer.get()) != ARCHIVE_OK)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kRefused, "Failed to finish archive [%s]: %s", archivePath.c_str(),
                                   Why(writer.get()));
  return CQiError();
}

}  // namespace

CQiError C7zip::Initialize() {
  CQiError err = platform::InjectedFault("C7zip::Initialize", FXCODELOC);
  if (err.IsError()) return err;
  if (m_nCompressionFormat != kFormat7z)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kNotSupported, "Compression format [%d] is not supported",
                                   m_nCompressionFormat);
  return CQiError();
}

CQiError C7zip::ExtractFilesFromArchive(const std::string& archivePath, const std::string& folder) {
  CQiError err = platform::InjectedFault("C7zip::ExtractFilesFromArchive", FXCODELOC);
  if (err.IsError()) return err;
  if (!platform::MakeDirectories(folder))
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to create folder [%s]", folder.c_str());
  auto_handle in(::open(archivePath.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open archive [%s]", archivePath.c_str());
  Reader reader(archive_read_new());
  if (!reader) return FXErrorUtil::ErrorWin32(FXCODELOC, kOutOfMemory);
  archive_read_support_format_7zip(reader.get());
  if (archive_read_open_fd(reader.get(), in.get(), 1 << 16) != ARCHIVE_OK)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kRefused, "Failed to open archive [%s]: %s", archivePath.c_str(),
                                   Why(reader.get()));
  for (;;) {
    archive_entry* entry = nullptr;
    const int next = archive_read_next_header(reader.get(), &entry);
    if (next == ARCHIVE_EOF) break;
    if (next != ARCHIVE_OK && next != ARCHIVE_WARN)
      return FXErrorUtil::ErrorWin32(FXCODELOC, kRefused, "Failed to read archive [%s]: %s", archivePath.c_str(),
                                     Why(reader.get()));
    err = ExtractMember(reader.get(), entry, folder, archivePath);
    if (err.IsError()) return err;
  }
  return CQiError();
}

CQiError C7zip::AddFilesToArchive(const std::string& archivePath, const std::list<std::string>& files,
                                  const std::map<std::string, std::string>& nameMap) {
  CQiError err = platform::InjectedFault("C7zip::AddFilesToArchive", FXCODELOC);
  if (err.IsError()) return err;
  if (m_nCompressionFormat != kFormat7z)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kNotSupported, "Compression format [%d] is not supported",
                                   m_nCompressionFormat);
  // Every name is settled before anything is written.
  std::vector<std::pair<std::string, std::string>> members;
  std::set<std::string> names;
  for (const std::string& file : files) {
    const auto mapped = nameMap.find(file);
    const std::string name = mapped != nameMap.end() ? mapped->second : std::string(FXPath::GetFileName(file));
    if (!InsideComponents(name))
      return FXErrorUtil::ErrorWin32(FXCODELOC, kRefused, "Refused name [%s] of [%s] in archive [%s]", name.c_str(),
                                     file.c_str(), archivePath.c_str());
    if (!names.insert(name).second)
      return FXErrorUtil::ErrorWin32(FXCODELOC, kRefused, "Two files named [%s] for archive [%s]", name.c_str(),
                                     archivePath.c_str());
    members.emplace_back(file, name);
  }
  const std::string folder = platform::ParentOf(archivePath);
  if (!platform::MakeDirectories(folder))
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to create folder [%s]", folder.c_str());
  const std::string temporary = platform::TemporarySibling(archivePath);
  auto_handle fd(::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (fd.get() < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to create [%s]", temporary.c_str());
  err = WriteArchive(fd.get(), members, archivePath);
  if (!err.IsError() && (::fsync(fd.get()) != 0 || ::close(fd.release()) != 0))
    err = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to write [%s]", temporary.c_str());
  if (!err.IsError() && ::rename(temporary.c_str(), archivePath.c_str()) != 0)
    err = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to replace [%s]", archivePath.c_str());
  if (err.IsError()) ::unlink(temporary.c_str());
  return err;
}
