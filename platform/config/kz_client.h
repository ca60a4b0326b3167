#pragma once
// The agent's client facades over the simulated configuration
// (AgentConfigBackend). Every call that reports an int returns 0 on success,
// -1 for an unknown client and 1627 when the clients cannot be read; a
// client looked up by name or host that could not be read is unknown.
#include <cstdint>
#include <optional>
#include <string>

// How a name given to KZClient is to be read.
enum KZNameType { KZ_NAME_TYPE_CLIENT_NAME = 1 };

class KZClient {
 public:
  // By name (the further arguments are the agent's lookup flags, unused here).
  KZClient(const char* name, bool flag, int kind);
  KZClient(const char* name, KZNameType type, int kind, void* reserved);
  explicit KZClient(uint64_t clientId);
  // By cell and client id.
  KZClient(uint64_t cellId, uint64_t clientId);
  // The client whose configured network host is hostName (letter case
  // ignored; the lowest id when several share it). The flag and the last
  // argument are the agent's lookup options, unused here.
  KZClient(uint64_t cellId, const std::string& hostName, bool flag, int kind);

  int getClientId(uint64_t& id, void* reserved = nullptr) const;
  int getNetworkHostnameMangled(std::string& host, void* reserved = nullptr) const;
  int getjobResultDirectory(std::string& directory, void* reserved = nullptr) const;
  int getInstallDirectory(std::string& directory, int kind, void* reserved = nullptr) const;
  // The client's name; empty for an unknown client. Fault: "KZClient::getName"
  // (empty).
  std::string getName() const;
  // The client's operating-system id; 0, or -1 for an unknown client.
  // Fault: "KZClient::getOperatingSystemId" (the fault's code).
  int getOperatingSystemId(int& osId) const;

 private:
  uint64_t m_nClientId = 0;  // 0 when the client is unknown
};

// A client's properties.
class ClientProperties {
 public:
  explicit ClientProperties(uint64_t clientId) : m_nClientId(clientId) {}
  // Whether the client is a cluster's virtual client; 0 on success, -1 for
  // an unknown client. Fault: "ClientProperties::isVirtualClient".
  int isVirtualClient(bool& isVirtual, void* reserved) const;

 private:
  uint64_t m_nClientId;
};

// The focus names the agent installation a process works for; a process
// starts with the machine's one installation in focus.
class KZPI_Focus {
 public:
  // This machine's client name; empty when not configured.
  static std::string getFocusClientName(bool physical);
  static std::string getFocus();
  static void setFocus(const std::string& focus);
};

class KZPI_VornClient {
 public:
  // The named client's job-results directory; nothing when unknown or empty.
  static std::optional<std::string> getJobResultsDirectory(const std::string& clientName);

  // The installation the object answers for; 0 on success, -1 for an empty
  // focus.
  int setFocus(const std::string& focus);
  // The VornServe host of the focused installation; empty when no focus was
  // set or no host is configured. Fault: "KZPI_VornClient::getVornServerHostName".
  std::string getVornServerHostName() const;

 private:
  std::string m_sFocus;
};

class KZPI_Base {
 public:
  // The product (installation) directory: "Base"/"dTARVOSHOME".
  static std::optional<std::string> getTarvosDirectory();
  // The agent's home directory: "Base"/"dAGENTHOME", else the "Base" folder
  // of the installation directory.
  static std::optional<std::string> getHomeDirectory();
  // The installation's folder for temporary files: "Temp" under the product
  // directory, created when missing. Fault: "KZPI_Base::getTarvosTempDirectory".
  static std::optional<std::string> getTarvosTempDirectory();
};
