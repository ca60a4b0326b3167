#pragma once
// Generated message classes of the entity (18), job-manager (21), browse
// (100) and index-metadata (101) modules. Their fields are set and read
// through CNMessageBase with the (number, tag) pairs the callers name.
#include "platform/messages/generated_message.h"

namespace KzEntities {
class GenericEntity : public CNGeneratedMessage<18, 46, 0x12EB6C4F> {};
}  // namespace KzEntities

namespace JobManager {
class GetLastIncrJobWithBackupCopyDoneReq : public CNGeneratedMessage<21, 35, 0x15888217> {};
class BkpJobDetailsXml : public CNGeneratedMessage<21, 117, 0x153BD8B0> {};
}  // namespace JobManager

namespace databrowse {
class BrowsePath : public CNGeneratedMessage<100, 3, 0x6450F7CE> {};
class BrowseOptions : public CNGeneratedMessage<100, 4, 0x640F781D> {};
class BrowseMode : public CNGeneratedMessage<100, 5, 0x647A0A7A> {};
class BrowsePaging : public CNGeneratedMessage<100, 6, 0x64AE3D09> {};
class ViewIdComponentIdToAfileMap : public CNGeneratedMessage<100, 27, 0x6423AE6F> {};
class PathToAfileMap : public CNGeneratedMessage<100, 28, 0x6464CA78> {};
class BrowseAdvConfigGenerateIdxLogs : public CNGeneratedMessage<100, 29, 0x64C57929> {};
class BrowseAdvancedConfigExtendedConfig : public CNGeneratedMessage<100, 38, 0x64D4F192> {};
class BrowseAdvancedConfig : public CNGeneratedMessage<100, 61, 0x64BF06D1> {};
class BrowseAdvancedOptions : public CNGeneratedMessage<100, 63, 0x64B7CBA7> {};
class BrowseTimeRange : public CNGeneratedMessage<100, 64, 0x643923D1> {};
class Criteria : public CNGeneratedMessage<100, 67, 0x6470DE4A> {};
class Query : public CNGeneratedMessage<100, 80, 0x645E6CCD> {};
class BrowseRequest : public CNGeneratedMessage<100, 92, 0x64BC54CA> {};
class BrowseResponse : public CNGeneratedMessage<100, 101, 0x646BC10B> {};
class BrowseResponseList : public CNGeneratedMessage<100, 102, 0x64AAFD12> {};
class BrowseAdvConfigFetchIdxExtentBitmap : public CNGeneratedMessage<100, 241, 0x64EF25B0> {};
}  // namespace databrowse

namespace IdxMetadata {
class IdxMetaData : public CNGeneratedMessage<101, 93, 0x6542D325> {};
}  // namespace IdxMetadata
