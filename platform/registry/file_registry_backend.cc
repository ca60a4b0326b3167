#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "platform/registry/registry_backend.h"
#include "platform/settings/settings.h"
#include "platform/sim/fs_util.h"

namespace platform {
namespace {

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r";
  std::string::size_type first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  std::string::size_type last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

// Whether the entry reads back as written: a line break, a "]" in the
// section, an "=" in the key, or blanks or a comment mark where the parser
// trims or skips would store something else, or corrupt the file's lines.
bool Storable(const std::string& section, const std::string& key, const std::string& value) {
  const auto hasAny = [](const std::string& text, const char* characters) {
    return text.find_first_of(characters) != std::string::npos;
  };
  const auto trimmed = [](const std::string& text) { return Trim(text) == text; };
  if (hasAny(section, "]\n\r") || !trimmed(section)) return false;
  if (key.empty() || hasAny(key, "=\n\r") || key[0] == '#' || key[0] == ';' || key[0] == '[' || !trimmed(key))
    return false;
  return !hasAny(value, "\n\r") && trimmed(value);
}

// Serialises writers of one registry file across processes.
class FileGuard {
 public:
  explicit FileGuard(const std::string& path) {
    MakeDirectoriesDurably(ParentOf(path));
    fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~FileGuard() {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  int fd_ = -1;
};

class FileRegistryBackend : public RegistryBackend {
 public:
  bool Get(const std::string& section, const std::string& key, std::string& value) override {
    return Read(section, key, value) == RegistryRead::kFound;
  }

  RegistryRead Read(const std::string& section, const std::string& key, std::string& value) override {
    std::string text;
    // No registry file sets nothing; one that is there but cannot be read
    // may set anything.
    if (!ReadWholeFile(Settings::RegistryFile(), text))
      return errno == ENOENT ? RegistryRead::kNotSet : RegistryRead::kFailed;
    RegistryContents contents = ParseRegistry(text);
    auto s = contents.find(section);
    if (s == contents.end()) return RegistryRead::kNotSet;
    auto k = s->second.find(key);
    if (k == s->second.end()) return RegistryRead::kNotSet;
    value = k->second;
    return RegistryRead::kFound;
  }

  bool Set(const std::string& section, const std::string& key, const std::string& value) override {
    if (!Storable(section, key, value)) return false;
    return Update([&](RegistryContents& contents) { contents[section][key] = value; });
  }

  bool Remove(const std::string& section, const std::string& key) override {
    return Update([&](RegistryContents& contents) { contents[section].erase(key); });
  }

 private:
  template <class Change>
  bool Update(Change change) {
    const std::string path = Settings::RegistryFile();
    FileGuard guard(path);
    std::string text;
    ReadWholeFile(path, text);
    RegistryContents contents = ParseRegistry(text);
    change(contents);
    return WriteFileAtomically(path, PrintRegistry(contents));
  }
};

}  // namespace

RegistryContents ParseRegistry(const std::string& text) {
  RegistryContents contents;
  std::istringstream lines(text);
  std::string line;
  std::string section;
  while (std::getline(lines, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = Trim(line.substr(1, line.size() - 2));
      contents[section];
      continue;
    }
    std::string::size_type equals = line.find('=');
    if (equals == std::string::npos) continue;
    contents[section][Trim(line.substr(0, equals))] = Trim(line.substr(equals + 1));
  }
  return contents;
}

std::string PrintRegistry(const RegistryContents& contents) {
  std::string text;
  for (const auto& [section, keys] : contents) {
    text += "[" + section + "]\n";
    for (const auto& [key, value] : keys) text += key + "=" + value + "\n";
    text += "\n";
  }
  return text;
}

RegistryBackend& RegistryBackend::Default() {
  static FileRegistryBackend* backend = new FileRegistryBackend();
  return *backend;
}

}  // namespace platform
