#pragma once
// Structured seeds: the state of the simulated services as one JSON document
// with one section per service,
//
//   { "agent_config":     { "local_client_id": 2, "clients": [...], "subclients": [...] },
//     "application_list": { "application_types": [...], "backup_sets": [...], "instances": [...] },
//     "oracle_agent":     { "files": [...], "statuses": [...] },
//     "volume_manager":   { "groups": [...] },
//     "archive_manager":  { "archive_files": [...] },
//     "fault_table":      { "faults": [...] } }
//
// Every row of every section is checked before anything is written (an
// unknown key, a missing one or a wrong type is refused with its JSON path),
// then the whole document is written in one transaction. A row replaces the
// row with the same key and adds to the others. DumpService prints a
// service's rows in the same form, so a dump can be seeded again.
#include <string>
#include <vector>

namespace blbsim {

enum class SeedResult { kSeeded, kRefused, kFailed };

// Seeds the document's text; `message` says what was refused (its JSON path
// first) or what failed.
SeedResult SeedDocument(const std::string& text, std::string& message);
// The document of one service's rows (pretty-printed); false for a service
// without a section. Throws StateDbError when the rows cannot be read.
bool DumpService(const std::string& service, std::string& document);
// The services that have a section, in the order they are applied.
std::vector<std::string> SeedServices();

}  // namespace blbsim
