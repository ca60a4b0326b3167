#include "platform/indexing/scripted_replies.h"

#include "platform/indexing/browse_request_fields.h"
#include "platform/messages/service_messages.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

struct QueuedReply {
  long long seq = 0;
  ScriptedReply reply;
};

StateDbResult Queued(std::vector<QueuedReply>& queued) {
  SqlStatement query(StateDb::Current(),
                     "SELECT seq, request_type, path_part, reply FROM index_scripted_replies ORDER BY seq;");
  return ReadRows(query, queued, [](const SqlStatement& row) {
    QueuedReply reply;
    reply.seq = row.Int(0);
    if (!row.IsNull(1)) reply.reply.requestType = row.Int(1);
    reply.reply.pathPart = row.Text(2);
    reply.reply.reply = row.Text(3);
    return reply;
  });
}

bool Matches(const ScriptedReply& reply, int64_t requestType, const std::vector<std::string>& paths) {
  if (reply.requestType && *reply.requestType != requestType) return false;
  if (reply.pathPart.empty()) return true;
  for (const std::string& path : paths)
    if (path.find(reply.pathPart) != std::string::npos) return true;
  return false;
}

}  // namespace

bool QueueScriptedReply(const ScriptedReply& reply, std::string* why) {
  databrowse::BrowseResponseList list;
  if (list.unserialize(reply.reply, why) != 0) return false;
  SqlStatement put(StateDb::Current(),
                   "INSERT INTO index_scripted_replies (request_type, path_part, reply) VALUES (?, ?, ?);");
  if (reply.requestType)
    put.Bind(1, static_cast<long long>(*reply.requestType));
  else
    put.BindNull(1);
  if (put.Bind(2, reply.pathPart).Bind(3, reply.reply).Run()) return true;
  if (why != nullptr) *why = "cannot store the reply in the state database";
  return false;
}

StateDbResult TakeScriptedReply(const CNMessageBase& request, std::vector<CNMessageBase>& replies, bool& scripted) {
  scripted = false;
  const int64_t requestType = BrowseRequestType(request);
  const std::vector<std::string> paths = BrowsePaths(request);
  std::optional<std::string> taken;
  // One transaction: two processes browsing at once never take one reply twice.
  StateDb& db = StateDb::Current();
  const StateDbResult committed = db.Transaction([&] {
    std::vector<QueuedReply> queued;
    const StateDbResult read = Queued(queued);
    if (!read) return read;
    for (const QueuedReply& reply : queued) {
      if (!Matches(reply.reply, requestType, paths)) continue;
      SqlStatement remove(db, "DELETE FROM index_scripted_replies WHERE seq = ?;");
      if (!remove.Bind(1, reply.seq).Run()) return remove.Result();
      taken = reply.reply.reply;
      break;
    }
    return StateDbResult();
  });
  if (!committed) return committed;
  if (!taken) return StateDbResult();
  using List = databrowse::BrowseResponseList;
  List list;
  // Checked when queued; a row edited by hand into something else answers
  // with no message.
  list.unserialize(*taken);
  replies = list.getlistobject(List::kResponses.number, List::kResponses.tag);
  scripted = true;
  return StateDbResult();
}

}  // namespace platform
