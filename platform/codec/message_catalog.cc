#include "platform/codec/message_catalog.h"

#include <cstdio>

namespace codec {
namespace {

struct MessageTypeInfo {
  int module;
  int type;
  uint32_t tagId;
  const char* name;
};

// Tag ids are the generated code's; their high byte is the module.
constexpr MessageTypeInfo kCatalog[] = {
    {18, 4, 0x12C4E1A7, "KzEntities::ClientEntity"},
    {18, 46, 0x12EB6C4F, "KzEntities::GenericEntity"},
    {21, 35, 0x15888217, "JobManager::GetLastIncrJobWithBackupCopyDoneReq"},
    {21, 36, 0x15A2B1EC, "JobManager::GetLastIncrJobWithBackupCopyDoneResp"},
    {21, 117, 0x153BD8B0, "JobManager::BkpJobDetailsXml"},
    {22, 229, 0x16E993C5, "Uxa::BlockBackupDevice"},
    {22, 260, 0x16AE7A69, "Uxa::OraDatabaseContent"},
    {22, 261, 0x165094A5, "Uxa::OraPDB"},
    {22, 262, 0x165310B7, "Uxa::OraTableSpace"},
    {22, 263, 0x16706B97, "Uxa::OraDataFile"},
    {22, 295, 0x160EFD9C, "Uxa::OraVolumeDataType"},
    {100, 0, 0x6419E7A4, "databrowse::BrowseItemFlags"},
    {100, 3, 0x6450F7CE, "databrowse::BrowsePath"},
    {100, 4, 0x640F781D, "databrowse::BrowseOptions"},
    {100, 5, 0x647A0A7A, "databrowse::BrowseMode"},
    {100, 6, 0x64AE3D09, "databrowse::BrowsePaging"},
    {100, 27, 0x6423AE6F, "databrowse::ViewIdComponentIdToAfileMap"},
    {100, 28, 0x6464CA78, "databrowse::PathToAfileMap"},
    {100, 29, 0x64C57929, "databrowse::BrowseAdvConfigGenerateIdxLogs"},
    {100, 38, 0x64D4F192, "databrowse::BrowseAdvancedConfigExtendedConfig"},
    {100, 61, 0x64BF06D1, "databrowse::BrowseAdvancedConfig"},
    {100, 63, 0x64B7CBA7, "databrowse::BrowseAdvancedOptions"},
    {100, 64, 0x643923D1, "databrowse::BrowseTimeRange"},
    {100, 67, 0x6470DE4A, "databrowse::Criteria"},
    {100, 71, 0x6481C2E4, "databrowse::QueryDataParam"},
    {100, 80, 0x645E6CCD, "databrowse::Query"},
    {100, 92, 0x64BC54CA, "databrowse::BrowseRequest"},
    {100, 93, 0x64894EBE, "databrowse::BrowseDataResult"},
    {100, 98, 0x64D4BEB3, "databrowse::BrowseResult"},
    {100, 101, 0x646BC10B, "databrowse::BrowseResponse"},
    {100, 102, 0x64AAFD12, "databrowse::BrowseResponseList"},
    {100, 103, 0x64460258, "databrowse::BrowseError"},
    {100, 104, 0x647D5AAE, "databrowse::BrowseData"},
    {100, 113, 0x64E0B771, "databrowse::QueryFilter"},
    {100, 241, 0x64EF25B0, "databrowse::BrowseAdvConfigFetchIdxExtentBitmap"},
    {100, 242, 0x643A0E09, "databrowse::BrowseAdvConfigIdxExtentBitmap"},
    {101, 0, 0x65A1C0DE, "IdxMetadata::IdxViewInfo"},
    {101, 1, 0x6531B7E2, "IdxMetadata::IdxObjectInfo"},
    {101, 37, 0x65E4A925, "IdxMetadata::IdxVersionInfo"},
    {101, 83, 0x65B1E0C3, "IdxMetadata::BlockLevelVolData"},
    {101, 84, 0x6577D054, "IdxMetadata::IdxDataInfo"},
    {101, 93, 0x6542D325, "IdxMetadata::IdxMetaData"},
};

// The entry of a listed pair, or null.
const MessageTypeInfo* FindMessageType(int module, int type) {
  for (const MessageTypeInfo& info : kCatalog) {
    if (info.module == module && info.type == type) return &info;
  }
  return nullptr;
}

}  // namespace

uint32_t MessageTagId(int module, int type) {
  if (const MessageTypeInfo* info = FindMessageType(module, type)) return info->tagId;
  return (static_cast<uint32_t>(module & 0xFF) << 24) | (static_cast<uint32_t>(type) & 0xFFFFFF);
}

std::string MessageTagName(int module, int type) {
  if (const MessageTypeInfo* info = FindMessageType(module, type)) return info->name;
  char name[48];
  std::snprintf(name, sizeof(name), "CNMessage(%d,%d)", module, type);
  return name;
}

}  // namespace codec
