#include "freeze_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>

#include "ending_process.h"
#include "platform/memory/auto_handle.h"
#include "platform/settings/settings.h"
#include "platform/sim/fs_util.h"
#include "records/file_replacement.h"
#include "set_aside.h"

// Kernels from 6.8 tell a mount's id that is never used again; older ones
// only one that a later mount may take over.
#ifndef STATX_MNT_ID_UNIQUE
#define STATX_MNT_ID_UNIQUE 0x00004000U
#endif

namespace blbjob {
namespace {

constexpr size_t kMostMounts = 64;
constexpr size_t kLongestPath = 4096;
// A record is a few lines: anything longer is none this code wrote.
constexpr size_t kLongestRecord = 1 << 20;

constexpr const char* kMarkWords[] = {"", "freezing", "frozen", "unfrozen"};

bool WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

std::string TextOf(const FreezeRecord& record) {
  std::string text = "job " + std::to_string(record.jobId) + "\nboot " + record.boot + "\nmarked\n";
  for (const FrozenMount& mount : record.mounts)
    text += "mount " + std::to_string(mount.major) + " " + std::to_string(mount.minor) + " " + mount.idKind + " " +
            std::to_string(mount.id) + " " + std::to_string(mount.path.size()) + " " + mount.path + "\n";
  return text;
}

// Reads the text up to the next space or line end as a whole decimal number.
template <class Number>
bool ReadNumber(const std::string& text, size_t& at, char end, Number& value) {
  const char* first = text.data() + at;
  const char* last = text.data() + text.size();
  const std::from_chars_result read = std::from_chars(first, last, value);
  if (read.ec != std::errc() || read.ptr == first || read.ptr == last || *read.ptr != end) return false;
  at = static_cast<size_t>(read.ptr - text.data()) + 1;
  return true;
}

// Reads the word up to the next space or line end.
bool ReadWord(const std::string& text, size_t& at, char end, std::string& word) {
  const size_t stop = text.find(end, at);
  if (stop == std::string::npos || stop == at) return false;
  word = text.substr(at, stop - at);
  at = stop + 1;
  return word.find_first_of(" \n") == std::string::npos;
}

bool Expect(const std::string& text, size_t& at, const char* word) {
  const size_t length = std::strlen(word);
  if (text.compare(at, length, word) != 0) return false;
  at += length;
  return true;
}

// "WORD INDEX\n" of a mark, for a mount the record holds.
bool ReadMark(const std::string& text, size_t& at, std::vector<FrozenMount>& mounts) {
  for (FreezeMark mark : {FreezeMark::kFreezing, FreezeMark::kFrozen, FreezeMark::kUnfrozen}) {
    const std::string word = std::string(kMarkWords[static_cast<int>(mark)]) + " ";
    size_t index = 0;
    if (text.compare(at, word.size(), word) != 0) continue;
    at += word.size();
    if (!ReadNumber(text, at, '\n', index) || index >= mounts.size()) return false;
    mounts[index].mark = mark;
    return true;
  }
  return false;
}

}  // namespace

bool FrozenMount::SameMountAs(const FrozenMount& other) const {
  return major == other.major && minor == other.minor && idKind == other.idKind && id == other.id;
}

std::string FreezesFolder() {
  return platform::Settings::StatePath("freezes");
}

bool PrepareFreezesFolder(const char* verb) {
  const std::string folder = FreezesFolder();
  struct stat found;
  if (::lstat(folder.c_str(), &found) != 0 || (::stat(folder.c_str(), &found) == 0 && S_ISDIR(found.st_mode)))
    return true;
  return SetAsideForFolder(verb, folder);
}

std::string CurrentBootId() {
  std::string boot;
  if (!platform::ReadWholeFile("/proc/sys/kernel/random/boot_id", boot)) return "";
  while (!boot.empty() && (boot.back() == '\n' || boot.back() == ' ')) boot.pop_back();
  return boot.find_first_of(" \n") == std::string::npos ? boot : "";
}

bool IdentifyMount(int folder, const std::string& path, FrozenMount& mount) {
  struct statx info;
  const int flags = path.empty() ? AT_EMPTY_PATH : 0;
  if (::statx(folder, path.c_str(), flags, STATX_MNT_ID | STATX_MNT_ID_UNIQUE, &info) != 0) return false;
  mount.major = info.stx_dev_major;
  mount.minor = info.stx_dev_minor;
  mount.idKind = (info.stx_mask & STATX_MNT_ID_UNIQUE) ? "unique" : (info.stx_mask & STATX_MNT_ID) ? "reused" : "none";
  mount.id = mount.idKind == "none" ? 0 : info.stx_mnt_id;
  return true;
}

CQiError CreateFreezeRecord(const FreezeRecord& record, std::string& path, int& fd) {
  const std::string folder = FreezesFolder();
  if (!platform::MakeDirectoriesDurably(folder))
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot make the folder [%s]", folder.c_str());
  // A name no other record had: a record left by a process of the same
  // id must not be replaced before it is undone.
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::string name = folder + "/" + std::to_string(::getpid()) + "-" + std::to_string(now.tv_sec) + "." +
                           std::to_string(now.tv_nsec) + ".freeze";
  const std::string temporary = records::TemporaryNameFor(name);
  auto_handle file(::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (file.get() < 0)
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot make the freeze record [%s]", temporary.c_str());
  if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0 || !WriteAll(file.get(), TextOf(record))) {
    CQiError error = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot write the freeze record [%s]", temporary.c_str());
    ::unlink(temporary.c_str());
    return error;
  }
  CQiError error = records::ReplaceWithTemporary(temporary, name);
  if (error.IsError()) {
    ::unlink(name.c_str());  // a rename whose folder could not be synced
    return error.Push(FXCODELOC);
  }
  path = name;
  fd = file.release();
  return CQiError();
}

bool AppendFreezeMark(int fd, FreezeMark mark, size_t index) {
  // Written whole in one call: a reader never takes a part of it for a mark.
  char line[32];
  size_t length = 0;
  for (const char* word = kMarkWords[static_cast<int>(mark)]; *word != '\0';) line[length++] = *word++;
  line[length++] = ' ';
  char digits[20];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + index % 10);
    index /= 10;
  } while (index != 0);
  while (count > 0) line[length++] = digits[--count];
  line[length++] = '\n';
  for (;;) {
    const ssize_t put = ::write(fd, line, length);
    if (put < 0 && errno == EINTR) continue;
    if (put == static_cast<ssize_t>(length)) return true;
    if (put >= 0) errno = ENOSPC;
    return false;
  }
}

bool ParseFreezeRecord(const std::string& whole, FreezeRecord& record) {
  record = FreezeRecord();
  const std::string text = whole.substr(0, whole.rfind('\n') + 1);
  size_t at = 0;
  if (!Expect(text, at, "job ") || !ReadNumber(text, at, '\n', record.jobId)) return false;
  if (!Expect(text, at, "boot ")) return false;
  const size_t bootEnd = text.find('\n', at);
  if (bootEnd == std::string::npos) return false;
  record.boot = text.substr(at, bootEnd - at);
  at = bootEnd + 1;
  const bool marked = Expect(text, at, "marked\n");
  while (at < text.size() && text.compare(at, 6, "mount ") == 0) {
    FrozenMount mount;
    mount.mark = marked ? FreezeMark::kNone : FreezeMark::kFrozen;
    size_t length = 0;
    if (record.mounts.size() == kMostMounts || !Expect(text, at, "mount ") || !ReadNumber(text, at, ' ', mount.major) ||
        !ReadNumber(text, at, ' ', mount.minor) || !ReadWord(text, at, ' ', mount.idKind) ||
        !ReadNumber(text, at, ' ', mount.id) || !ReadNumber(text, at, ' ', length) || length == 0 ||
        length > kLongestPath || length >= text.size() - at || text[at + length] != '\n')
      return false;
    if (mount.idKind != "unique" && mount.idKind != "reused" && mount.idKind != "none") return false;
    mount.path = text.substr(at, length);
    at += length + 1;
    record.mounts.push_back(std::move(mount));
  }
  while (marked && at < text.size())
    if (!ReadMark(text, at, record.mounts)) return false;
  return at == text.size() && !record.mounts.empty();
}

bool ReadFreezeRecord(int fd, FreezeRecord& record) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || text.size() + static_cast<size_t>(got) > kLongestRecord) return false;
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  return ParseFreezeRecord(text, record);
}

pid_t CommandOfRecord(const std::string& path) {
  const size_t name = path.rfind('/') + 1;
  pid_t pid = 0;
  const char* first = path.data() + name;
  const std::from_chars_result read = std::from_chars(first, path.data() + path.size(), pid);
  return read.ec == std::errc() && read.ptr != first && *read.ptr == '-' && pid > 0 ? pid : 0;
}

bool RemoveFreezeRecord(const char* path, const char* folder) {
  if (::unlink(path) != 0 && errno != ENOENT) return false;
  const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

bool RemoveFreezeRecord(const std::string& path) {
  return RemoveFreezeRecord(path.c_str(), platform::ParentOf(path).c_str());
}

FreezesFolderLock::~FreezesFolderLock() {
  if (m_nFolder >= 0) ::close(m_nFolder);
}

bool FreezesFolderLock::Take(int waitMs) {
  m_nFolder = ::open(FreezesFolder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (m_nFolder < 0) return false;
  if (WaitUntil([this] { return ::flock(m_nFolder, LOCK_EX | LOCK_NB) == 0; }, waitMs)) return true;
  ::close(m_nFolder);
  m_nFolder = -1;
  errno = EWOULDBLOCK;
  return false;
}

}  // namespace blbjob
