#include "platform/harness/seed.h"

#include <exception>

#include "platform/harness/seed_section.h"
#include "platform/sim/state_db.h"

namespace blbsim {

SeedResult SeedDocument(const std::string& text, std::string& message) {
  std::vector<std::unique_ptr<SeedSection>> sections = MakeSeedSections();
  try {
    const nlohmann::json document = nlohmann::json::parse(text);
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
