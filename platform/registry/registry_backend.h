#pragma once
// The agent's registry: values by section and key.
// The default keeps an INI-style file (Settings::RegistryFile()):
//   [FileSystemAgent]
//   nExtentSizeForBlockFilterDriver=4
#include <map>
#include <string>

#include "platform/base/backend.h"

namespace platform {

// What a read of one value came to: the value, no value set (the registry
// holds none, or there is no registry), or no answer (the registry could not
// be read), which says nothing of what is set.
enum class RegistryRead { kFound, kNotSet, kFailed };

class RegistryBackend {
 public:
  virtual ~RegistryBackend() = default;
  virtual bool Get(const std::string& section, const std::string& key, std::string& value) = 0;
  // Get, with a registry that could not be read told from a value not set;
  // a backend that cannot fail to read need not say more than Get.
  virtual RegistryRead Read(const std::string& section, const std::string& key, std::string& value) {
    return Get(section, key, value) ? RegistryRead::kFound : RegistryRead::kNotSet;
  }
  virtual bool Set(const std::string& section, const std::string& key, const std::string& value) = 0;
  virtual bool Remove(const std::string& section, const std::string& key) = 0;

  static RegistryBackend& Default();
};

using Registry = Backend<RegistryBackend>;

// Parsing and printing of the registry file, shared by the default backend
// and the harness. Keys are case-sensitive; later duplicates win.
using RegistryContents = std::map<std::string, std::map<std::string, std::string>>;
RegistryContents ParseRegistry(const std::string& text);
std::string PrintRegistry(const RegistryContents& contents);

}  // namespace platform
