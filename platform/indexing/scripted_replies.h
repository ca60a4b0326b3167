#pragma once
// Replies queued for the simulated index: the next browse that matches one
// gets it in place of the index's own answer, once. A reply matches a
// request of its request type (any type when none is given) one of whose
// paths contains its path part (any path when the part is empty); the oldest
// matching reply is taken. Kept in the state database's
// `index_scripted_replies` table, so a reply queued by the harness reaches
// a browse in another process.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/codec/nmessage_base.h"
#include "platform/sim/state_db_failure.h"

namespace platform {

struct ScriptedReply {
  std::optional<int64_t> requestType;
  std::string pathPart;
  // A databrowse::BrowseResponseList in the codec's text; its responses
  // (1, 1) are the reply's messages (none: a reply without any message).
  std::string reply;
};

// False, with the reason, for a reply text that is not a response list.
bool QueueScriptedReply(const ScriptedReply& reply, std::string* why);
// Takes the oldest reply that matches the request into `replies`, with
// `scripted` set; nothing changed when none matches. Done, or why the queue
// could not be read or changed.
StateDbResult TakeScriptedReply(const CNMessageBase& request, std::vector<CNMessageBase>& replies, bool& scripted);

}  // namespace platform
