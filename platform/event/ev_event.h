#pragma once
// Agent events: an id, a job id and typed arguments appended with <<.
// Raised events go to the event backend; the default appends them to the
// "events" table of the state database, where the harness and tests read them.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/backend.h"
#include "platform/sim/state_db_failure.h"

struct EvEventArgument {
  int type;  // 10: unsigned 64-bit, little-endian; 11: text
  std::string bytes;
};

class EvEvent {
 public:
  EvEvent& operator<<(unsigned long long value);
  EvEvent& operator<<(const char* text);
  EvEvent& operator<<(const std::string& text) { return *this << text.c_str(); }
  void addArgument(int type, const void* data, size_t size);
  void InfoEvent(int eventId, long long jobId, int flags);
  const std::vector<EvEventArgument>& Arguments() const { return m_vArgs; }

 private:
  std::vector<EvEventArgument> m_vArgs;
};

unsigned long long ulittleEndianLongLong(unsigned long long value);

namespace platform {

struct RaisedEvent {
  int eventId = 0;
  long long jobId = 0;
  int flags = 0;
  // Arguments in a readable form: numbers in decimal, texts as they are.
  std::vector<std::string> arguments;
};

class EventBackend {
 public:
  virtual ~EventBackend() = default;
  virtual void Raise(const RaisedEvent& event) = 0;
  static EventBackend& Default();
};

using Events = Backend<EventBackend>;

// The events the default backend stored, oldest first; done, or why they
// could not be read.
StateDbResult StoredEvents(std::vector<RaisedEvent>& events);

}  // namespace platform
