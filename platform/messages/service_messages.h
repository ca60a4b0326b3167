#pragma once
// Generated message classes of the entity (18), job-manager (21), browse
// (100) and index-metadata (101) modules. Their fields are set and read
// through CNMessageBase with the (number, tag) pairs the callers name.
#include "platform/messages/generated_message.h"

namespace KzEntities {
class GenericEntity : public CNGeneratedMessage<18, 46, 0x12EB6C4F> {
 public:
  static constexpr CNFieldId kVornCellId{1, 1, 0};
  static constexpr CNFieldId kApplicationId{5, 11, 0};
  static constexpr CNFieldId kBackupsetId{8, 20, 0};
  static constexpr CNFieldId kInstanceId{11, 29, 0};
  static constexpr CNFieldId kAppType{14, 38, 0};
  static constexpr CNFieldId kClientId{17, 47, 0};
};
// A client named by its name: the storage-server client of a browse.
class ClientEntity : public CNGeneratedMessage<18, 4, 0x12C4E1A7> {
 public:
  static constexpr CNFieldId kClientName{1, 1, 0};
};
}  // namespace KzEntities

namespace JobManager {
class GetLastIncrJobWithBackupCopyDoneReq : public CNGeneratedMessage<21, 35, 0x15888217> {
 public:
  static constexpr CNFieldId kVornCellId{1, 1, 0};
  static constexpr CNFieldId kAppId{2, 2, 0};
};
class GetLastIncrJobWithBackupCopyDoneResp : public CNGeneratedMessage<21, 36, 0x15A2B1EC> {
 public:
  static constexpr CNFieldId kSnapJobId{1, 1, 0};
  static constexpr CNFieldId kCopyId{4, 4, 0};
};
class BkpJobDetailsXml : public CNGeneratedMessage<21, 117, 0x153BD8B0> {};
}  // namespace JobManager

namespace databrowse {
// What kind of entry a reply item is.
class BrowseItemFlags : public CNGeneratedMessage<100, 0, 0x6419E7A4> {
 public:
  // Non-zero for a folder.
  static constexpr CNFieldId kFolder{2, 2, 0};
  // Non-zero for a mount point an agent indexed.
  static constexpr CNFieldId kMountPoint{8, 8, 0};
};
class BrowsePath : public CNGeneratedMessage<100, 3, 0x6450F7CE> {
 public:
  static constexpr CNFieldId kPath{1, 1, 0};
};
class BrowseOptions : public CNGeneratedMessage<100, 4, 0x640F781D> {
 public:
  static constexpr CNFieldId kSkipDeleted{1, 1, 0};
  static constexpr CNFieldId kInstantSend{11, 11, 0};
  static constexpr CNFieldId kCarryForward{44, 44, 0};
  static constexpr CNFieldId kOption10{10, 10, 0};
};
class BrowseMode : public CNGeneratedMessage<100, 5, 0x647A0A7A> {
 public:
  static constexpr CNFieldId kMode{1, 1, 0};
};
class BrowsePaging : public CNGeneratedMessage<100, 6, 0x64AE3D09> {
 public:
  static constexpr CNFieldId kPageSize{3, 3, 0};
  static constexpr CNFieldId kFirstItem{4, 4, 0};
};
// One carry-forward entry: a view and component, and its paths' archive
// files.
class ViewIdComponentIdToAfileMap : public CNGeneratedMessage<100, 27, 0x6423AE6F> {
 public:
  static constexpr CNFieldId kViewName{1, 1, 0};
  static constexpr CNFieldId kComponentId{2, 5, 0};
  static constexpr CNFieldId kPaths{3, 9, 0};
};
class PathToAfileMap : public CNGeneratedMessage<100, 28, 0x6464CA78> {
 public:
  static constexpr CNFieldId kPath{1, 1, 0};
  static constexpr CNFieldId kArchFileId{2, 5, 0};
  static constexpr CNFieldId kArchGroupId{3, 6, 0};
  static constexpr CNFieldId kArchFileFlags{4, 7, 0};
  static constexpr CNFieldId kArchFileValue{5, 8, 0};
};
// The request to generate a job's index logs from another job's index.
class BrowseAdvConfigGenerateIdxLogs : public CNGeneratedMessage<100, 29, 0x64C57929> {
 public:
  static constexpr CNFieldId kEntries{1, 1, 0};
  static constexpr CNFieldId kSourceJobId{2, 2, 0};
  static constexpr CNFieldId kVornCellId{3, 3, 0};
  static constexpr CNFieldId kBackupLevel{4, 4, 0};
  static constexpr CNFieldId kIndexConnFlags{5, 5, 0};
};
class BrowseAdvancedConfigExtendedConfig : public CNGeneratedMessage<100, 38, 0x64D4F192> {
 public:
  static constexpr CNFieldId kGenerateIdxLogs{2, 2, 0};
  static constexpr CNFieldId kFetchIdxExtentBitmap{6, 6, 0};
};
class BrowseAdvancedConfig : public CNGeneratedMessage<100, 61, 0x64BF06D1> {
 public:
  // In a reply item's data: the component's extent bitmap.
  static constexpr CNFieldId kIdxExtentBitmap{2, 2, 0};
  static constexpr CNFieldId kExtendedConfig{5, 5, 0};
};
class BrowseAdvancedOptions : public CNGeneratedMessage<100, 63, 0x64B7CBA7> {
 public:
  static constexpr CNFieldId kAdvancedConfig{3, 6, 0};
  static constexpr CNFieldId kUseAdvancedConfig{4, 7, 0};
  static constexpr CNFieldId kWaitForResult{5, 8, 0};
  static constexpr CNFieldId kTimeoutSeconds{9, 12, 0};
  static constexpr CNFieldId kCopyPrecedence{1, 1, 0};
  // Restricts the answer to the named view.
  static constexpr CNFieldId kViewName{2, 2, 0};
};
class BrowseTimeRange : public CNGeneratedMessage<100, 64, 0x643923D1> {
 public:
  static constexpr CNFieldId kToTime{1, 1, 0};
  static constexpr CNFieldId kFromTime{2, 2, 0};
};
// A query's criteria: (1, 1) its filter.
class Criteria : public CNGeneratedMessage<100, 67, 0x6470DE4A> {
 public:
  static constexpr CNFieldId kFilter{1, 1, 0};
};
// A criteria's filter: the values it matches in its string list (4, 4).
class QueryFilter : public CNGeneratedMessage<100, 113, 0x64E0B771> {
 public:
  static constexpr CNFieldId kValues{4, 4, 0};
};
// A query's data parameters: (2, 2) the paging of the reply.
class QueryDataParam : public CNGeneratedMessage<100, 71, 0x6481C2E4> {
 public:
  static constexpr CNFieldId kPaging{2, 2, 0};
};
class Query : public CNGeneratedMessage<100, 80, 0x645E6CCD> {
 public:
  static constexpr CNFieldId kQueryType{1, 1, 0};
  static constexpr CNFieldId kQueryId{2, 2, 0};
  static constexpr CNFieldId kCriteria{8, 11, 0};
  static constexpr CNFieldId kDataParam{5, 8, 0};
};
class BrowseRequest : public CNGeneratedMessage<100, 92, 0x64BC54CA> {
 public:
  static constexpr CNFieldId kRequestType{1, 1, 0};
  static constexpr CNFieldId kEntity{3, 3, 0};
  static constexpr CNFieldId kPaths{4, 4, 0};
  static constexpr CNFieldId kTimeRange{6, 6, 0};
  static constexpr CNFieldId kOptions{7, 7, 0};
  static constexpr CNFieldId kMode{8, 8, 0};
  static constexpr CNFieldId kAdvancedOptions{11, 11, 0};
  static constexpr CNFieldId kQueries{12, 12, 0};
  static constexpr CNFieldId kWorkerId{13, 13, 0};
  static constexpr CNFieldId kViewId{14, 14, 0};
};
class BrowseResponse : public CNGeneratedMessage<100, 101, 0x646BC10B> {
 public:
  // 2: partial, 3: error, 5: no (more) results.
  static constexpr CNFieldId kType{1, 1, 0};
  static constexpr CNFieldId kQueryId{2, 2, 0};
  static constexpr CNFieldId kErrors{4, 7, 0};
  // Set (with any tag) when some indices may be missing from the index cache.
  static constexpr int kIndicesMissingNumber = 5;
  static constexpr CNFieldId kResult{6, 9, 0};
};
class BrowseResponseList : public CNGeneratedMessage<100, 102, 0x64AAFD12> {
 public:
  static constexpr CNFieldId kResponses{1, 1, 0};
};
class BrowseAdvConfigFetchIdxExtentBitmap : public CNGeneratedMessage<100, 241, 0x64EF25B0> {
 public:
  static constexpr CNFieldId kComponents{1, 1, 0};
};
// A response's browse result.
class BrowseResult : public CNGeneratedMessage<100, 98, 0x64D4BEB3> {
 public:
  static constexpr CNFieldId kItems{3, 6, 0};
};
class BrowseError : public CNGeneratedMessage<100, 103, 0x64460258> {
 public:
  static constexpr CNFieldId kCode{1, 1, 0};
};
// One item of a browse result.
class BrowseData : public CNGeneratedMessage<100, 104, 0x647D5AAE> {
 public:
  static constexpr CNFieldId kFlags{1, 1, 0};
  // The last element of the item's path.
  static constexpr CNFieldId kName{6, 9, 0};
  // An extent view's item: the extent's 8-digit name.
  static constexpr CNFieldId kExtentName{5, 5, 0};
  static constexpr CNFieldId kPath{7, 13, 0};
  static constexpr CNFieldId kData{9, 21, 0};
};
// An item's data.
class BrowseDataResult : public CNGeneratedMessage<100, 93, 0x64894EBE> {
 public:
  // The index metadata record the item was stored with.
  static constexpr CNFieldId kIdxMetaData{11, 14, 0};
  // An extent view's item: the hash of the extent's content.
  static constexpr CNFieldId kHash{27, 45, 0};
  static constexpr CNFieldId kAdvancedConfig{22, 40, 0};
  // An agent's entry: its archive file, archive group and component.
  static constexpr CNFieldId kArchGroupId{8, 11, 0};
  static constexpr CNFieldId kArchFileId{9, 12, 0};
  static constexpr CNFieldId kComponentGuid{16, 24, 0};
};
// A component's extent bitmap as the index holds it: raw bytes, extent n in
// bit (n mod 8) of byte (n div 8).
class BrowseAdvConfigIdxExtentBitmap : public CNGeneratedMessage<100, 242, 0x643A0E09> {
 public:
  static constexpr CNFieldId kBitmap{3, 3, 0};
};
}  // namespace databrowse

namespace IdxMetadata {
// The view an item belongs to.
class IdxViewInfo : public CNGeneratedMessage<101, 0, 0x65A1C0DE> {
 public:
  static constexpr CNFieldId kViewName{2, 5, 0};
};
// An item's identity in the index: its own GUID, its parent's and its view.
class IdxObjectInfo : public CNGeneratedMessage<101, 1, 0x6531B7E2> {
 public:
  static constexpr CNFieldId kView{12, 15, 0};
  static constexpr CNFieldId kObjectGuid{13, 16, 0};
  static constexpr CNFieldId kParentGuid{14, 20, 0};
};
// The version of an item.
class IdxVersionInfo : public CNGeneratedMessage<101, 37, 0x65E4A925> {
 public:
  static constexpr CNFieldId kVersionGuid{1, 1, 0};
};
// An item's data text.
class IdxDataInfo : public CNGeneratedMessage<101, 84, 0x6577D054> {
 public:
  static constexpr CNFieldId kData{1, 1, 0};
};
// One volume of a block-level job: its path, its block-backup-device
// message text, and whether it is a volume of a special type.
class BlockLevelVolData : public CNGeneratedMessage<101, 83, 0x65B1E0C3> {
 public:
  static constexpr CNFieldId kVolume{1, 1, 0};
  static constexpr CNFieldId kVolumeData{2, 2, 0};
  static constexpr CNFieldId kVolumeType{5, 5, 0};
};
// The index metadata record of one item.
class IdxMetaData : public CNGeneratedMessage<101, 93, 0x6542D325> {
 public:
  static constexpr CNFieldId kObject{1, 1, 0};
  static constexpr CNFieldId kVersion{11, 11, 0};
  static constexpr CNFieldId kBlockLevelVolData{35, 35, 0};
  static constexpr CNFieldId kData{36, 36, 0};
};
}  // namespace IdxMetadata
