#include "platform/dbagents/instance.h"

#include <optional>

#include "platform/config/application_list.h"
#include "platform/sim/fault_table.h"

namespace {

// 0 with the instance's record; -1 for an unknown instance, 1627 when the
// instances cannot be read.
int Find(uint64_t instanceId, std::optional<platform::InstanceRecord>& instance) {
  if (!platform::ApplicationList::Current().FindInstance(instanceId, instance)) return platform::kServiceFailed;
  return instance ? 0 : -1;
}

int DataDir(uint64_t instanceId, std::string& value) {
  std::optional<platform::InstanceRecord> instance;
  const int found = Find(instanceId, instance);
  if (found == 0) value = instance->dataDir;
  return found;
}

}  // namespace

int ApplProperties::addToPropCache(const char* name, uint64_t id, const char* value, long number) {
  return updatePropCache(ApplProperty{name ? name : "", id, value ? value : "", number});
}

int ApplProperties::updatePropCache(const ApplProperty& property) {
  m_mProperties[property.name] = property;
  return 0;
}

int ApplBackupContent::addToContentCache(uint64_t id, const char* text) {
  m_mContents[id] = text ? text : "";
  return 0;
}

int Instance::initContent(const char*, bool, bool) {
  return 0;
}

int Instance::getInstanceName(std::string& name, int) {
  int code = 0;
  if (platform::InjectedFaultCode("Instance::getInstanceName", code)) return code != 0 ? code : -1;
  std::optional<platform::InstanceRecord> instance;
  const int found = Find(m_nInstanceId, instance);
  if (found == 0) name = instance->name;
  return found;
}

int MySqlInstance::getMySqlDataDir(std::string& value, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("MySqlInstance::getMySqlDataDir", code)) return code != 0 ? code : -1;
  return DataDir(getInstanceId(), value);
}

int PostgreSQLInstance::getPgDataDir(std::string& directory, void*) {
  int code = 0;
  if (platform::InjectedFaultCode("PostgreSQLInstance::getPgDataDir", code)) return code != 0 ? code : -1;
  return DataDir(getInstanceId(), directory);
}
