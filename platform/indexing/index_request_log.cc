#include "platform/indexing/index_request_log.h"

#include <unistd.h>

#include "platform/indexing/browse_request_fields.h"
#include "platform/sim/state_db.h"

namespace platform {

bool LogIndexRequest(const char* call, const CNMessageBase& request, int result,
                     const std::vector<CNMessageBase>& replies) {
  SqlStatement log(StateDb::CurrentForLogs(),
                   "INSERT INTO index_requests (pid, call, result, responses, items, request) "
                   "VALUES (?, ?, ?, ?, ?, ?);");
  log.Bind(1, static_cast<long long>(::getpid())).Bind(2, std::string(call)).Bind(3, result);
  log.BindUnsigned(4, replies.size()).BindUnsigned(5, CountBrowseItems(replies));
  return log.Bind(6, request.toString()).Run();
}

StateDbResult IndexRequests(std::vector<IndexRequestRecord>& requests) {
  SqlStatement query(StateDb::Current(),
                     "SELECT seq, pid, call, result, responses, items, request FROM index_requests ORDER BY seq;");
  return ReadRows(query, requests, [](const SqlStatement& row) {
    IndexRequestRecord record;
    record.seq = row.Unsigned(0);
    record.pid = row.Int(1);
    record.call = row.Text(2);
    record.result = static_cast<int>(row.Int(3));
    record.responses = row.Unsigned(4);
    record.items = row.Unsigned(5);
    record.request = row.Text(6);
    return record;
  });
}

bool ClearIndexRequests() {
  SqlStatement clear(StateDb::Current(), "DELETE FROM index_requests;");
  return clear.Run();
}

}  // namespace platform
