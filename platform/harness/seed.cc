#include "platform/harness/seed.h"

#include <exception>
#include <set>
#include <string>
#include <vector>

#include "platform/harness/seed_section.h"
#include "platform/sim/state_db.h"

namespace blbsim {
namespace {

// Where the parser stands in the document, as the seed's paths name it
// ("$.section.rows[2].key"): a value the parser refuses (a number too large
// for a double) is then reported at its place.
class ParsePosition {
 public:
  bool Follow(nlohmann::json::parse_event_t event, const nlohmann::json& parsed) {
    using Event = nlohmann::json::parse_event_t;
    switch (event) {
      case Event::object_start:
      case Event::array_start:
        // Each level keeps its path: a document nested without end would
        // take memory by the square of its depth.
        if (frames_.size() >= kDeepestNesting)
          throw SeedRefused(NextPath(), "nested deeper than " + std::to_string(kDeepestNesting) + " levels");
        frames_.push_back(Frame{NextPath(), event == Event::array_start, 0, std::string(), {}});
        break;
      case Event::object_end:
      case Event::array_end:
        frames_.pop_back();
        Advance();
        break;
      case Event::key:
        frames_.back().key = parsed.is_string() ? parsed.get<std::string>() : std::string();
        // The parser keeps a repeated key's last value only: the first
        // would be dropped without a word.
        if (!frames_.back().keys.insert(frames_.back().key).second) throw SeedRefused(NextPath(), "duplicate key");
        break;
      case Event::value:
        Advance();
        break;
    }
    return true;
  }
  // The path of the value the parser reads next.
  std::string NextPath() const {
    if (frames_.empty()) return "$";
    const Frame& frame = frames_.back();
    return frame.array ? frame.path + "[" + std::to_string(frame.index) + "]" : frame.path + "." + frame.key;
  }

 private:
  static constexpr size_t kDeepestNesting = 64;
  struct Frame {
    std::string path;
    bool array;
    size_t index;
    std::string key;
    std::set<std::string> keys;
  };
  void Advance() {
    if (!frames_.empty() && frames_.back().array) ++frames_.back().index;
  }
  std::vector<Frame> frames_;
};

}  // namespace

SeedResult SeedDocument(const std::string& text, std::string& message) {
  std::vector<std::unique_ptr<SeedSection>> sections = MakeSeedSections();
  ParsePosition position;
  try {
    const nlohmann::json document =
        nlohmann::json::parse(text, [&position](int, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
          return position.Follow(event, parsed);
        });
    std::vector<const char*> services;
    for (const auto& section : sections) services.push_back(section->Name());
    const SeedObject root(document, "$", services);
    for (const auto& section : sections) {
      const std::string path = root.PathOf(section->Name());
      auto found = document.find(section->Name());
      if (found != document.end()) section->Read(SeedObject(*found, path, section->Keys()));
    }
  } catch (const nlohmann::json::parse_error& error) {
    message = std::string("$: not a JSON document: ") + error.what();
    return SeedResult::kRefused;
  } catch (const nlohmann::json::out_of_range& error) {  // a number beyond a double's range
    message = position.NextPath() + ": " + error.what();
    return SeedResult::kRefused;
  } catch (const SeedRefused& refused) {
    message = refused.what();
    return SeedResult::kRefused;
  }
  platform::StateDb& db = platform::StateDb::Current();
  std::string failed;
  const bool written = db.Transaction([&] {
    for (const auto& section : sections) {
      if (!section->Apply()) {
        failed = section->Name();
        return false;
      }
    }
    return true;
  });
  if (!written) {
    message = failed.empty() ? "cannot write the seed" : "cannot write the section " + failed;
    return SeedResult::kFailed;
  }
  return SeedResult::kSeeded;
}

bool DumpService(const std::string& service, std::string& document) {
  for (const auto& section : MakeSeedSections()) {
    if (service != section->Name()) continue;
    nlohmann::json dump = nlohmann::json::object();
    dump[service] = section->Dump();
    document = dump.dump(2) + "\n";
    return true;
  }
  return false;
}

std::vector<std::string> SeedServices() {
  std::vector<std::string> names;
  for (const auto& section : MakeSeedSections()) names.push_back(section->Name());
  return names;
}

}  // namespace blbsim
