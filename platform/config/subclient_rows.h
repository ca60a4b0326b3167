#pragma once
// The subclients table's rows, for the services of platform/config that
// select subclients by backup set or instance.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/config/agent_config.h"

namespace platform {

// The subclients selected by an SQL tail ("WHERE ... ORDER BY ...") whose
// '?' take the values in order; done, or why the read failed.
StateDbResult QuerySubclients(const std::string& where, const std::vector<uint64_t>& values,
                              std::vector<SubclientRecord>& subclients);

}  // namespace platform
