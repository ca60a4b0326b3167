#pragma once
// The agent's settings: registry values by section and key.
// Every read returns non-zero when the value was found; a missing key leaves
// the caller's value (its built-in default) untouched.
#include <list>
#include <string>

class KZPlatformInfo {
 public:
  // Reads into a 64-bit temporary; the caller's value is set (cut to 32 bits)
  // only when the read succeeds.
  static int getNumber(const char* section, const char* key, unsigned* value);
  static int getNumber(const char* section, const char* key, unsigned long long* value);
  static int getString(const char* section, const char* key, std::string& value);
  // getString for a setting whose absence means something: 1 found, 0 not
  // set, -1 the registry could not be read (as under the fault
  // "KZPlatformInfo::getString"), which says nothing of what is set. The
  // caller's value is set only when found.
  static int readString(const char* section, const char* key, std::string& value);
  // The name of this physical machine's client.
  static int getPhysicalMachine(std::string& name);
  // The names of the clients active on this machine, in client-id order;
  // 0 on success (platform/config: the clients' active flag), 1627 when the
  // clients cannot be read. Fault: "KZPlatformInfo::getActiveClientList"
  // (the list left empty).
  static int getActiveClientList(std::list<std::string>& names);
  // The VornServe host the job clients join through, into a buffer of size
  // bytes: 0, or non-zero (-1) when none is configured or it does not fit;
  // 1627 when the configuration cannot be read.
  // Fault: "KZPlatformInfo::getStowhostVSHostName" (the fault's code).
  static int getStowhostVSHostName(char* host, int size);
};
