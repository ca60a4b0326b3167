#include <gtest/gtest.h>

#include "platform/codec/message_catalog.h"
#include "platform/messages/service_messages.h"
#include "platform/messages/uxa_messages.h"

namespace {

template <class Message>
void ExpectCatalogued(int module, int type, const char* name) {
  Message message;
  EXPECT_EQ(message.getModule(), module) << name;
  EXPECT_EQ(message.getType(), type) << name;
  EXPECT_EQ(message.getTagID(), Message::kTagId) << name;
  EXPECT_EQ(message.getTagName(), name);
  EXPECT_EQ(message.getTagID() >> 24, static_cast<uint32_t>(module)) << name;
  // A generated message reads back only a text of its own type.
  Message back;
  EXPECT_EQ(back.unserialize(message.toString()), 0) << name;
  EXPECT_EQ(back.unserialize("M0:0{}"), -1) << name;
}

}  // namespace

TEST(GeneratedMessages, KeepTheirTypeNumbersAndTagIds) {
  ExpectCatalogued<Uxa::BlockBackupDevice>(22, 229, "Uxa::BlockBackupDevice");
  ExpectCatalogued<Uxa::OraDatabaseContent>(22, 260, "Uxa::OraDatabaseContent");
  ExpectCatalogued<Uxa::OraPDB>(22, 261, "Uxa::OraPDB");
  ExpectCatalogued<Uxa::OraTableSpace>(22, 262, "Uxa::OraTableSpace");
  ExpectCatalogued<Uxa::OraDataFile>(22, 263, "Uxa::OraDataFile");
  ExpectCatalogued<Uxa::OraVolumeDataType>(22, 295, "Uxa::OraVolumeDataType");
  ExpectCatalogued<KzEntities::GenericEntity>(18, 46, "KzEntities::GenericEntity");
  ExpectCatalogued<KzEntities::ClientEntity>(18, 4, "KzEntities::ClientEntity");
  ExpectCatalogued<JobManager::GetLastIncrJobWithBackupCopyDoneReq>(21, 35,
                                                                    "JobManager::GetLastIncrJobWithBackupCopyDoneReq");
  ExpectCatalogued<JobManager::BkpJobDetailsXml>(21, 117, "JobManager::BkpJobDetailsXml");
  ExpectCatalogued<databrowse::BrowseItemFlags>(100, 0, "databrowse::BrowseItemFlags");
  ExpectCatalogued<databrowse::BrowsePath>(100, 3, "databrowse::BrowsePath");
  ExpectCatalogued<databrowse::BrowseOptions>(100, 4, "databrowse::BrowseOptions");
  ExpectCatalogued<databrowse::BrowseMode>(100, 5, "databrowse::BrowseMode");
  ExpectCatalogued<databrowse::BrowsePaging>(100, 6, "databrowse::BrowsePaging");
  ExpectCatalogued<databrowse::ViewIdComponentIdToAfileMap>(100, 27, "databrowse::ViewIdComponentIdToAfileMap");
  ExpectCatalogued<databrowse::PathToAfileMap>(100, 28, "databrowse::PathToAfileMap");
  ExpectCatalogued<databrowse::BrowseAdvConfigGenerateIdxLogs>(100, 29, "databrowse::BrowseAdvConfigGenerateIdxLogs");
  ExpectCatalogued<databrowse::BrowseAdvancedConfigExtendedConfig>(100, 38,
                                                                   "databrowse::BrowseAdvancedConfigExtendedConfig");
  ExpectCatalogued<databrowse::BrowseAdvancedConfig>(100, 61, "databrowse::BrowseAdvancedConfig");
  ExpectCatalogued<databrowse::BrowseAdvancedOptions>(100, 63, "databrowse::BrowseAdvancedOptions");
  ExpectCatalogued<databrowse::BrowseTimeRange>(100, 64, "databrowse::BrowseTimeRange");
  ExpectCatalogued<databrowse::Criteria>(100, 67, "databrowse::Criteria");
  ExpectCatalogued<databrowse::QueryFilter>(100, 113, "databrowse::QueryFilter");
  ExpectCatalogued<databrowse::Query>(100, 80, "databrowse::Query");
  ExpectCatalogued<databrowse::QueryDataParam>(100, 71, "databrowse::QueryDataParam");
  ExpectCatalogued<databrowse::BrowseRequest>(100, 92, "databrowse::BrowseRequest");
  ExpectCatalogued<databrowse::BrowseResponse>(100, 101, "databrowse::BrowseResponse");
  ExpectCatalogued<databrowse::BrowseResponseList>(100, 102, "databrowse::BrowseResponseList");
  ExpectCatalogued<databrowse::BrowseAdvConfigFetchIdxExtentBitmap>(100, 241,
                                                                    "databrowse::BrowseAdvConfigFetchIdxExtentBitmap");
  ExpectCatalogued<databrowse::BrowseAdvConfigIdxExtentBitmap>(100, 242, "databrowse::BrowseAdvConfigIdxExtentBitmap");
  ExpectCatalogued<databrowse::BrowseResult>(100, 98, "databrowse::BrowseResult");
  ExpectCatalogued<databrowse::BrowseError>(100, 103, "databrowse::BrowseError");
  ExpectCatalogued<databrowse::BrowseData>(100, 104, "databrowse::BrowseData");
  ExpectCatalogued<databrowse::BrowseDataResult>(100, 93, "databrowse::BrowseDataResult");
  ExpectCatalogued<IdxMetadata::IdxMetaData>(101, 93, "IdxMetadata::IdxMetaData");
  ExpectCatalogued<IdxMetadata::IdxViewInfo>(101, 0, "IdxMetadata::IdxViewInfo");
  ExpectCatalogued<IdxMetadata::IdxObjectInfo>(101, 1, "IdxMetadata::IdxObjectInfo");
  ExpectCatalogued<IdxMetadata::IdxVersionInfo>(101, 37, "IdxMetadata::IdxVersionInfo");
  ExpectCatalogued<IdxMetadata::IdxDataInfo>(101, 84, "IdxMetadata::IdxDataInfo");
  EXPECT_EQ(databrowse::BrowseResponse::kTagId, 0x646BC10Bu);
  EXPECT_EQ(Uxa::OraVolumeDataType::kTagId, 0x160EFD9Cu);
}

TEST(GeneratedMessages, OracleVolumeTypeLineReadsBack) {
  using M = Uxa::OraVolumeDataType;
  M line;
  line.setstring(M::kVolume.number, M::kVolume.tag, "/oradata", M::kTagId, M::kVolume.check);
  line.setstring(M::kType.number, M::kType.tag, "DATA", M::kTagId, M::kType.check);
  std::string text;
  line.serialize(text, false);
  M back;
  ASSERT_EQ(back.unserialize(text), 0);
  EXPECT_EQ(back.getstring(M::kVolume.number, M::kVolume.tag, M::kTagId, M::kVolume.check), "/oradata");
  EXPECT_EQ(back.getstring(M::kType.number, M::kType.tag, M::kTagId, M::kType.check), "DATA");
}

TEST(GeneratedMessages, BrowseReplyListCarriesTypedResponses) {
  databrowse::BrowseResponse response;
  response.setint64(1, 1, 3);
  databrowse::BrowseResponse error;
  error.setint64(1, 1, 10);
  response.addlistobject(4, 7, error);
  databrowse::BrowseResponseList list;
  list.addlistobject(1, 1, response);

  databrowse::BrowseResponseList back;
  ASSERT_EQ(back.unserialize(list.toString()), 0);
  std::vector<CNMessageBase> replies = back.getlistobject(1, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].getTagID(), databrowse::BrowseResponse::kTagId);
  EXPECT_EQ(replies[0].getint64(1, 1), 3);
  EXPECT_EQ(replies[0].getlistobject(4, 7).at(0).getint64(1, 1), 10);
}
