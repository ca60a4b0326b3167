#include "platform/sim/fault_generation.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

namespace platform {
namespace {

static_assert(FaultGeneration::Word::is_always_lock_free, "the word is shared between processes");

struct Mapping {
  dev_t device = 0;
  ino_t inode = 0;
  FaultGeneration::Word* word = nullptr;
};

std::mutex& MappingsMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, Mapping>& Mappings() {
  static std::map<std::string, Mapping> mappings;
  return mappings;
}

// Whether the word's block is the file's, made so when it is not: a page of
// the file with no block behind it, on a full disk, would have its first
// touch through the mapping killed by SIGBUS instead of the mapping failing.
// fallocate sets the size too, and leaves a word that is there as it is;
// where the file system has no fallocate, a word with its blocks will do.
bool HasItsBlock(int fd, const struct stat& info) {
  if (::fallocate(fd, 0, 0, sizeof(FaultGeneration::Word)) == 0) return true;
  return errno == EOPNOTSUPP && info.st_size >= static_cast<off_t>(sizeof(FaultGeneration::Word)) && info.st_blocks > 0;
}

// Mappings are never undone: a thread may still read a word whose state
// directory was left, and a page per directory used is little. Without
// `create`, a missing file gives nullptr. The caller holds MappingsMutex.
FaultGeneration::Word* Map(const std::string& path, bool create) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
  if (fd < 0) return nullptr;
  struct stat info;
  FaultGeneration::Word* word = nullptr;
  if (::fstat(fd, &info) == 0) {
    Mapping& known = Mappings()[path];
    if (known.word != nullptr && known.device == info.st_dev && known.inode == info.st_ino) {
      word = known.word;
    } else if (HasItsBlock(fd, info)) {
      void* at = ::mmap(nullptr, sizeof(FaultGeneration::Word), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (at != MAP_FAILED) {
        word = static_cast<FaultGeneration::Word*>(at);
        known = Mapping{info.st_dev, info.st_ino, word};
      }
    }
  }
  ::close(fd);
  return word;
}

std::string WordPath(const std::string& stateDir) {
  return stateDir + "/faults.generation";
}

}  // namespace

const FaultGeneration::Word* FaultGeneration::Of(const std::string& stateDir) {
  std::lock_guard<std::mutex> guard(MappingsMutex());
  return Map(WordPath(stateDir), true);
}

void FaultGeneration::Raise(const std::string& stateDir) {
  std::lock_guard<std::mutex> guard(MappingsMutex());
  if (Word* word = Map(WordPath(stateDir), true)) word->fetch_add(1, std::memory_order_acq_rel);
}

void FaultGeneration::RaiseLeft(const std::string& stateDir) {
  const std::string path = WordPath(stateDir);
  std::lock_guard<std::mutex> guard(MappingsMutex());
  auto known = Mappings().find(path);
  Word* mapped = known != Mappings().end() ? known->second.word : nullptr;
  Word* current = Map(path, false);
  if (mapped != nullptr && mapped != current) mapped->fetch_add(1, std::memory_order_acq_rel);
  if (current != nullptr) current->fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace platform
