#pragma once
// The database agents' instance objects: an instance with its property and
// content caches, and the MySQL and PostgreSQL instances with their data
// directories (platform::ApplicationList's instances).
//
// Faults: "MySqlInstance::getMySqlDataDir", "PostgreSQLInstance::getPgDataDir"
// (return the fault's code, the text untouched).
#include <cstdint>
#include <map>
#include <string>

struct ApplProperty {
  std::string name;
  uint64_t id = 0;
  std::string value;
  long number = 0;
};

// The instance's properties by name.
class ApplProperties {
 public:
  virtual ~ApplProperties() = default;
  int addToPropCache(const char* name, uint64_t id, const char* value, long number);
  // Replaces the property of the same name; 0.
  int updatePropCache(const ApplProperty& property);
  const std::map<std::string, ApplProperty>& Properties() const { return m_mProperties; }

 private:
  std::map<std::string, ApplProperty> m_mProperties;
};

// The instance's backup content by id, and how its paths compare.
class ApplBackupContent {
 public:
  virtual ~ApplBackupContent() = default;
  int addToContentCache(uint64_t id, const char* text);
  void setContentCaseSensitive() { m_nCaseSensitive = 1; }
  void setContentCaseInsensitive() { m_nCaseSensitive = 0; }
  int ContentCaseSensitive() const { return m_nCaseSensitive; }
  const std::map<uint64_t, std::string>& Contents() const { return m_mContents; }

 private:
  std::map<uint64_t, std::string> m_mContents;
  int m_nCaseSensitive = 1;
};

class Instance : public virtual ApplProperties, public virtual ApplBackupContent {
 public:
  explicit Instance(uint64_t instanceId) : m_nInstanceId(instanceId) {}
  ~Instance() override = default;

  uint64_t getInstanceId() const { return m_nInstanceId; }
  // The instance's name into name; non-zero, name untouched, for an
  // instance the configuration does not know.
  int getInstanceName(std::string& name, int reserved);

  // Fills the caches; the simulated agent keeps no more than the callbacks
  // below put there, so there is nothing to fetch.
  virtual int initContent(const char* argument, bool withProperties, bool refresh);
  int initAll(const char* argument) { return initContent(argument, true, false); }

  int getPropertiesCallback(const char* name, uint64_t id, const char* value, long number) {
    return ApplProperties::addToPropCache(name, id, value, number);
  }
  int getPropertiesCallbackUpdate(const char* name, uint64_t id, const char* value, long number, bool) {
    return updatePropCache(ApplProperty{name ? name : "", id, value ? value : "", number});
  }
  int initContentCallback(uint64_t id, const char* text) { return ApplBackupContent::addToContentCache(id, text); }
  void SetCaseSensitive(bool caseSensitive) {
    if (caseSensitive)
      setContentCaseSensitive();
    else
      setContentCaseInsensitive();
  }

 private:
  uint64_t m_nInstanceId;
};

class MySqlInstance : public Instance {
 public:
  explicit MySqlInstance(uint64_t instanceId) : Instance(instanceId) {}
  // The data-directory value as the instance returns it, e.g.
  // "a:/var/lib/mysql;b"; -1 for an unknown instance.
  int getMySqlDataDir(std::string& value, void* reserved);
};

class PostgreSQLInstance : public Instance {
 public:
  explicit PostgreSQLInstance(uint64_t instanceId) : Instance(instanceId) {}
  int getPgDataDir(std::string& directory, void* reserved);
};
