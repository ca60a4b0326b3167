#pragma once
// A file-system subclient's configuration: its content paths, handed to a
// callback one line each.
//
// Faults: "FSSubclientConf::load", "FSSubclientConf::dirnames" (return the
// fault's code as a negative number).
#include <string>
#include <vector>

class ApplicationId;

// An object that can describe itself in the log.
class TDebuggable {
 public:
  virtual ~TDebuggable() = default;
  // Writes the text to the log at level 3.
  virtual void debug(const char* text) const;
};

// Receives the lines of a configuration query.
class FSCallback : public TDebuggable {
 public:
  // Called once per line; a non-zero answer ends the query.
  virtual int putLine(const char* line) = 0;
};

class FSSubclientConf {
 public:
  // Whether a content path may lie within another subclient's content.
  void setAllowOverlapSCContent(bool allow) { m_bAllowOverlap = allow; }
  // Reads the subclient's configuration; negative on failure (-1 for an
  // unknown subclient, -1627 when the configuration cannot be read). The
  // flags are the agent's, unused here.
  int load(ApplicationId* application, int flags);
  // Hands every content path of the loaded subclient to the callback, in
  // order; negative before a successful load or when the callback refuses a
  // line. The name is the agent's, unused here.
  int dirnames(FSCallback* callback, const char* subclientName);

 private:
  bool m_bAllowOverlap = false;
  bool m_bLoaded = false;
  std::vector<std::string> m_vContents;
};
