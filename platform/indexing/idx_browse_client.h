#pragma once
// The agent's index browse client: sends one databrowse::BrowseRequest to the
// backup index and hands back every reply message, to a callback object or in
// a databrowse::BrowseResponseList.
//
// The client keeps the request given to Initialize; the setters change it
// until Browse sends it. Every call forwards, at the time of the call, to the
// backend platform::BackupIndex (backup_index.h), so a test may answer the
// browses of objects made before it installed its own.
//
// Request fields this client sets (as (number, tag)): worker id (13, 13) and
// view id (14, 14); options (7, 7), mode (8, 8), advanced options (11, 11),
// paths (4, 4), queries (12, 12).
#include <string>
#include <vector>

#include "platform/codec/nmessage_base.h"
#include "platform/messages/service_messages.h"

// The callback that receives the reply messages of a browse, one at a time.
class IdxBrowseClientResp {
 public:
  IdxBrowseClientResp() = default;
  // What the answer means lies with the caller: the client hands every
  // message of the reply over, whatever it answered for the ones before.
  virtual bool processResp(CNMessageBase* message) = 0;
  virtual ~IdxBrowseClientResp() = default;
};

// A browse's own request options. The simulated index takes none: callers
// pass null.
class IdxBrowseClientReq {
 public:
  virtual ~IdxBrowseClientReq() = default;
};

// Lets a caller break off a long browse. The simulated index answers each
// browse at once, so there is nothing to break off.
class IdxBrowseClientInterrupt {
 public:
  virtual ~IdxBrowseClientInterrupt() = default;
};

class IdxBrowseClient {
 public:
  IdxBrowseClient() = default;
  ~IdxBrowseClient() = default;
  IdxBrowseClient(const IdxBrowseClient&) = delete;
  IdxBrowseClient& operator=(const IdxBrowseClient&) = delete;

  // Keeps the request and the handler (not owned; may be null). 0, or a
  // negative value with isInitFailed() true when the index refuses the
  // request. The waiting argument (the callers pass 2000), the name and the
  // interrupt are not used by the simulated index.
  int Initialize(databrowse::BrowseRequest request, IdxBrowseClientResp* handler, int wait, const char* name,
                 IdxBrowseClientInterrupt* interrupt);
  bool isInitFailed() const { return m_bInitFailed; }
  // Whether the kept request is an indexing-V2 one; false before a
  // successful Initialize, and when the index cannot read the subclient's
  // setting (the client then fails: isInitFailed, Browse).
  bool isIndexingV2BrowseRequest() const;

  void setWorkerId(const std::string& workerId);
  void setViewId(const std::string& viewId);
  // The messages are copied; the caller keeps its objects. Null removes the
  // field from the request.
  void setOptions(const databrowse::BrowseOptions* options);
  void setAdvOptions(const databrowse::BrowseAdvancedOptions* options);
  void setMode(const databrowse::BrowseMode* mode);
  // The request's paths (databrowse::BrowsePath) and queries
  // (databrowse::Query), to be changed in place.
  std::vector<CNMessageBase>& getPaths() { return m_vPaths; }
  void setPaths(const std::vector<CNMessageBase>& paths) { m_vPaths = paths; }
  std::vector<CNMessageBase>& getQueries() { return m_vQueries; }

  // The request as it would be sent now, in the codec's text.
  std::string serializeRequest() const;

  // Sends the request. Before it returns, every reply message has been
  // handed to the handler (processResp once per message, in order) and, when
  // a list is given, the list's responses (1, 1) are replaced by them. 0, or
  // a negative value (also without a successful Initialize).
  int Browse(IdxBrowseClientReq* request, databrowse::BrowseResponseList* reply);

 private:
  // The kept request with the current paths and queries.
  databrowse::BrowseRequest Composed() const;

  databrowse::BrowseRequest m_oRequest;
  std::vector<CNMessageBase> m_vPaths;
  std::vector<CNMessageBase> m_vQueries;
  IdxBrowseClientResp* m_pHandler = nullptr;
  bool m_bInitialized = false;
  // Also set once the index could not tell whether the request is an
  // indexing-V2 one: the client fails from then on.
  mutable bool m_bInitFailed = false;
};
