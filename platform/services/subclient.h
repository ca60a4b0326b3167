#pragma once
// The agent's subclient objects over the simulated configuration
// (AgentConfigBackend). Every query answers from the configuration at the
// time of the call and returns 0 on success.
#include <cstdint>
#include <memory>

class Subclient {
 public:
  Subclient(uint64_t cellId, uint64_t appId) : m_nCellId(cellId), m_nAppId(appId) {}
  virtual ~Subclient() = default;

  // The client that backs the subclient up in place of its own (0: none).
  // Failable as "Subclient::getProxyClientId".
  virtual int getProxyClientId(uint64_t& clientId, void* reserved);
  // Whether files that cannot reach the proxy may stay on the source client.
  // Failable as "Subclient::getUseSource".
  virtual int getUseSource(bool& useSource, void* reserved);

 private:
  uint64_t m_nCellId;
  uint64_t m_nAppId;
};

class ApplicationId {
 public:
  ApplicationId(uint64_t cellId, uint64_t appId) : m_nCellId(cellId), m_nAppId(appId) {}

  // The subclient, owned by this object; null when the configuration does
  // not know it. Failable as "ApplicationId::getSubclient".
  Subclient* getSubclient(void* reserved);

 private:
  uint64_t m_nCellId;
  uint64_t m_nAppId;
  std::unique_ptr<Subclient> m_pSubclient;
};
