#pragma once
// The job services' job-control client of a running job: how the job learns
// that it must stop, and the name of the client it runs on (getCN). The scan
// only passes it through to the true-up.
//
// Fault: "KZJobCtrlClient::getCN" (an empty name).
#include <string>
#include <utility>

class KZJobCtrlClient {
 public:
  KZJobCtrlClient() = default;
  explicit KZJobCtrlClient(std::string clientName) : m_sClientName(std::move(clientName)) {}

  // The name of the client the job runs on.
  std::string getCN() const;

 private:
  std::string m_sClientName;
};
