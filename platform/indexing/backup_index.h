#pragma once
// The backup index as the browse client reaches it. IdxBrowseClient forwards
// every call to the backend installed here; a test may install its own for a
// scope:
//
//   platform::Backend<platform::BackupIndexBackend>::Scope use(myIndex);
//
// The default is the simulated index (simulated_backup_index.cc): its
// contents live in the state database, so a job, the harness and a test see
// one index.
#include <vector>

#include "platform/base/backend.h"
#include "platform/codec/nmessage_base.h"
#include "platform/sim/state_db_failure.h"

namespace platform {

class BackupIndexBackend {
 public:
  virtual ~BackupIndexBackend() = default;
  // 0 when the index takes the request, else a negative value.
  virtual int Initialize(const CNMessageBase& request) = 0;
  // Whether the request's subclient is indexed with indexing V2; why not
  // known, when its settings could not be read.
  virtual StateDbResult IsIndexingV2(const CNMessageBase& request, bool& indexingV2) = 0;
  // Replaces `replies` with the reply messages, in order; 0, or a negative
  // value (no reply then).
  virtual int Browse(const CNMessageBase& request, std::vector<CNMessageBase>& replies) = 0;
  static BackupIndexBackend& Default();
};

using BackupIndex = Backend<BackupIndexBackend>;

}  // namespace platform
