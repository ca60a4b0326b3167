#pragma once
// The agent's registry: values by section and key.
// The default keeps an INI-style file (Settings::RegistryFile()):
//   [FileSystemAgent]
//   nExtentSizeForBlockFilterDriver=4
#include <map>
#include <string>

#include "platform/base/backend.h"

namespace platform {

class RegistryBackend {
 public:
  virtual ~RegistryBackend() = default;
  virtual bool Get(const std::string& section, const std::string& key, std::string& value) = 0;
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
