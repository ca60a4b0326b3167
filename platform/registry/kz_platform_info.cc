#include "platform/registry/kz_platform_info.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/config/agent_config.h"
#include "platform/registry/registry_backend.h"
#include "platform/sim/fault_table.h"

namespace {

// The closed 64-bit read: non-zero when the key holds a number.
int ReadNumber(const char* section, const char* key, unsigned long long& value) {
  int code = 0;
  if (platform::InjectedFaultCode("KZPlatformInfo::getNumber", code)) return 0;
  std::string text;
  if (!platform::Registry::Current().Get(section, key, text) || text.empty()) return 0;
  errno = 0;
  char* end = nullptr;
  const bool negative = text[0] == '-';
  unsigned long long parsed = negative ? static_cast<unsigned long long>(std::strtoll(text.c_str(), &end, 0))
                                       : std::strtoull(text.c_str(), &end, 0);
  if (end == text.c_str() || *end != '\0' || errno == ERANGE) return 0;
  value = parsed;
  return 1;
}

}  // namespace

int KZPlatformInfo::getNumber(const char* section, const char* key, unsigned* value) {
  unsigned long long temporary = 0;
  int found = ReadNumber(section, key, temporary);
  if (found != 0 && value != nullptr) *value = static_cast<unsigned>(temporary);
  return found;
}

int KZPlatformInfo::getNumber(const char* section, const char* key, unsigned long long* value) {
  unsigned long long temporary = 0;
  int found = ReadNumber(section, key, temporary);
  if (found != 0 && value != nullptr) *value = temporary;
  return found;
}

int KZPlatformInfo::getString(const char* section, const char* key, std::string& value) {
  return readString(section, key, value) > 0 ? 1 : 0;
}

int KZPlatformInfo::readString(const char* section, const char* key, std::string& value) {
  int code = 0;
  if (platform::InjectedFaultCode("KZPlatformInfo::getString", code)) return -1;
  std::string text;
  switch (platform::Registry::Current().Read(section, key, text)) {
    case platform::RegistryRead::kFound:
      value = text;
      return 1;
    case platform::RegistryRead::kNotSet:
      return 0;
    case platform::RegistryRead::kFailed:
      break;
  }
  return -1;
}

int KZPlatformInfo::getPhysicalMachine(std::string& name) {
  int code = 0;
  if (platform::InjectedFaultCode("KZPlatformInfo::getPhysicalMachine", code)) return 0;
  std::string text;
  if (!platform::Registry::Current().Get("Base", "sPhysicalMachine", text) || text.empty()) return 0;
  name = text;
  return 1;
}

int KZPlatformInfo::getStowhostVSHostName(char* host, int size) {
  int code = 0;
  if (platform::InjectedFaultCode("KZPlatformInfo::getStowhostVSHostName", code)) return code != 0 ? code : -1;
  std::optional<std::string> configured;
  if (!platform::AgentConfig::Current().VornServeHost(configured)) return platform::kServiceFailed;
  const std::string name = configured.value_or(std::string());
  if (host == nullptr || name.empty() || name.size() >= static_cast<size_t>(size > 0 ? size : 0)) return -1;
  std::memcpy(host, name.c_str(), name.size() + 1);
  return 0;
}
