#pragma once
// BLFSCallback: collects the content paths that a file-system subclient's
// configuration hands out, one line each, in order.
#include <list>
#include <string>

#include "platform/services/fs_subclient_conf.h"

class BLFSCallback : public FSCallback {
 public:
  int putLine(const char* line) override {
    m_lLines.emplace_back(line != nullptr ? line : "");
    return 0;
  }

  const std::list<std::string>& Lines() const { return m_lLines; }

 private:
  std::list<std::string> m_lLines;
};
