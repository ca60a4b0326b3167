#pragma once
// A registry that cannot be read for one value, as a failing state
// directory's registry could not be: "SECTION/KEY" fails (errno EIO), every other
// value reads as it is. Installed for a scope with platform::Registry::Scope.
#include <cerrno>
#include <string>

#include "platform/registry/registry_backend.h"

namespace testing_support {

class UnreadableSetting : public platform::RegistryBackend {
 public:
  explicit UnreadableSetting(const std::string& setting) : setting_(setting) {}

  bool Get(const std::string& section, const std::string& key, std::string& value) override {
    if (section + "/" + key != setting_) return real_.Get(section, key, value);
    errno = EIO;
    return false;
  }
  platform::RegistryRead Read(const std::string& section, const std::string& key, std::string& value) override {
    if (section + "/" + key != setting_) return real_.Read(section, key, value);
    return platform::RegistryRead::kFailed;
  }
  bool Set(const std::string& section, const std::string& key, const std::string& value) override {
    return real_.Set(section, key, value);
  }
  bool Remove(const std::string& section, const std::string& key) override { return real_.Remove(section, key); }

 private:
  std::string setting_;
  platform::RegistryBackend& real_ = platform::RegistryBackend::Default();
};

}  // namespace testing_support
