#include "platform/event/ev_event.h"

#include <endian.h>

#include <cstring>

#include "platform/sim/fault_table.h"
#include "platform/sim/state_db.h"

namespace {

// Arguments are stored one per line; a line break inside a text is escaped.
std::string JoinArguments(const std::vector<std::string>& arguments) {
  std::string joined;
  for (const std::string& argument : arguments) {
    for (char c : argument) {
      if (c == '\\')
        joined += "\\\\";
      else if (c == '\n')
        joined += "\\n";
      else
        joined += c;
    }
    joined += '\n';
  }
  return joined;
}

std::vector<std::string> SplitArguments(const std::string& joined) {
  std::vector<std::string> arguments;
  std::string current;
  for (size_t i = 0; i < joined.size(); ++i) {
    char c = joined[i];
    if (c == '\\' && i + 1 < joined.size()) {
      current += joined[i + 1] == 'n' ? '\n' : joined[i + 1];
      ++i;
    } else if (c == '\n') {
      arguments.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  return arguments;
}

class DatabaseEventBackend : public platform::EventBackend {
 public:
  void Raise(const platform::RaisedEvent& event) override {
    platform::StateDb& db = platform::StateDb::Current();
    platform::SqlStatement insert(db, "INSERT INTO events (event_id, job_id, flags, arguments) VALUES (?, ?, ?, ?);");
    insert.Bind(1, event.eventId).Bind(2, event.jobId).Bind(3, event.flags).Bind(4, JoinArguments(event.arguments));
    insert.Run();
  }
};

}  // namespace

unsigned long long ulittleEndianLongLong(unsigned long long value) {
  return htole64(value);
}

void EvEvent::addArgument(int type, const void* data, size_t size) {
  m_vArgs.push_back({type, std::string(static_cast<const char*>(data), size)});
}

EvEvent& EvEvent::operator<<(unsigned long long value) {
  unsigned long long little = ulittleEndianLongLong(value);
  addArgument(10, &little, sizeof little);
  return *this;
}

EvEvent& EvEvent::operator<<(const char* text) {
  if (text == nullptr) text = "";
  addArgument(11, text, std::strlen(text));
  return *this;
}

void EvEvent::InfoEvent(int eventId, long long jobId, int flags) {
  int code = 0;
  if (platform::InjectedFaultCode("EvEvent::InfoEvent", code)) return;  // raising is fire-and-forget
  platform::RaisedEvent event;
  event.eventId = eventId;
  event.jobId = jobId;
  event.flags = flags;
  for (const EvEventArgument& argument : m_vArgs) {
    if (argument.type == 10 && argument.bytes.size() == 8) {
      unsigned long long little;
      std::memcpy(&little, argument.bytes.data(), 8);
      event.arguments.push_back(std::to_string(le64toh(little)));
    } else {
      event.arguments.push_back(argument.bytes);
    }
  }
  platform::Events::Current().Raise(event);
}

namespace platform {

EventBackend& EventBackend::Default() {
  static DatabaseEventBackend* backend = new DatabaseEventBackend();
  return *backend;
}

StateDbResult StoredEvents(std::vector<RaisedEvent>& events) {
  SqlStatement query(StateDb::Current(), "SELECT event_id, job_id, flags, arguments FROM events ORDER BY seq;");
  return ReadRows(query, events, [](const SqlStatement& row) {
    RaisedEvent event;
    event.eventId = static_cast<int>(row.Int(0));
    event.jobId = row.Int(1);
    event.flags = static_cast<int>(row.Int(2));
    event.arguments = SplitArguments(row.Text(3));
    return event;
  });
}

}  // namespace platform
