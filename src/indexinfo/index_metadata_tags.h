#pragma once
// The tags of the index metadata items a backup sends with an item: the
// index service files each value under its tag.
#include <cstdint>

namespace indexinfo {

constexpr uint32_t kObjectGuidTag = 0x2057F131;        // INDEXINGDATA_OBJECT_GUID
constexpr uint32_t kParentObjectGuidTag = 0x26BC1A27;  // INDEXINGDATA_PARENT_OBJECT_GUID
constexpr uint32_t kVersionGuidTag = 0x85ED33A1;       // GRANULARAGINGDATA_GUID
constexpr uint32_t kComponentIdTag = 0x60512130;       // IDXDBINFO__COMPONENT_ID
constexpr uint32_t kViewIdTag = 0x57571A98;            // IDXDBINFO__VIEW_ID

}  // namespace indexinfo
