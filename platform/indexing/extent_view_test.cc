// The index's extent view: seeded from "ID HASH" lines, answered a page at a
// time from the paging's first extent upward.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/harness/index_harness.h"
#include "platform/indexing/idx_browse_client.h"
#include "platform/indexing/index_extent_view.h"
#include "support/test_platform.h"

namespace {

const std::string kPath = "/{20d03aa2-7726-42d8-8381-fdda7a8a1c47}/EXTENTVIEW//mnt/v1";

std::string Hash(char digit) {
  return std::string(32, digit);
}

// "name=hash" of every item of the page.
std::vector<std::string> Page(uint64_t cellId, const std::string& first, uint64_t size) {
  databrowse::BrowseRequest request;
  request.setint64(request.kRequestType.number, request.kRequestType.tag, 0);
  KzEntities::GenericEntity entity;
  entity.setuint64(entity.kVornCellId.number, entity.kVornCellId.tag, cellId);
  entity.setuint64(entity.kApplicationId.number, entity.kApplicationId.tag, 7);
  request.setObjectAccessor(request.kEntity.number, request.kEntity.tag, entity);
  databrowse::BrowsePath path;
  path.setstring(path.kPath.number, path.kPath.tag, kPath);
  request.addlistobject(request.kPaths.number, request.kPaths.tag, path);
  databrowse::BrowsePaging paging;
  paging.setstring(paging.kFirstItem.number, paging.kFirstItem.tag, first);
  paging.setuint64(paging.kPageSize.number, paging.kPageSize.tag, size);
  databrowse::QueryDataParam param;
  param.setObjectAccessor(param.kPaging.number, param.kPaging.tag, paging);
  databrowse::Query query;
  query.setObjectAccessor(query.kDataParam.number, query.kDataParam.tag, param);
  request.addlistobject(request.kQueries.number, request.kQueries.tag, query);

  IdxBrowseClient client;
  EXPECT_EQ(client.Initialize(request, nullptr, 2000, nullptr, nullptr), 0);
  databrowse::BrowseResponseList list;
  EXPECT_EQ(client.Browse(nullptr, &list), 0);
  std::vector<std::string> items;
  const std::vector<CNMessageBase> responses = list.getlistobject(list.kResponses.number, list.kResponses.tag);
  EXPECT_EQ(responses.size(), 1u);
  for (const CNMessageBase& response : responses) {
    databrowse::BrowseResult result;
    EXPECT_TRUE(response.getObjectAccessor(databrowse::BrowseResponse::kResult.number,
                                           databrowse::BrowseResponse::kResult.tag, result));
    for (const CNMessageBase& item : result.getlistobject(result.kItems.number, result.kItems.tag)) {
      databrowse::BrowseDataResult data;
      item.getObjectAccessor(databrowse::BrowseData::kData.number, databrowse::BrowseData::kData.tag, data);
      items.push_back(item.getstring(databrowse::BrowseData::kExtentName.number, databrowse::BrowseData::kExtentName.tag) + "=" +
                      data.getstring(data.kHash.number, data.kHash.tag));
    }
  }
  return items;
}

TEST(ExtentView, PagesFromTheFirstExtentUpwardPerApplicationAndVolume) {
  testing_support::ScopedStateDir state;
  std::string why;
  ASSERT_TRUE(blbsim::SetIndexExtentView({2, 7, "/mnt/v1"},
                                         "33 " + Hash('c') + "\n1 " + Hash('a') + "\n\n2 " + Hash('b') + "\n", &why))
      << why;
  EXPECT_EQ(Page(2, "00000000", 2), std::vector<std::string>({"00000001=" + Hash('a'), "00000002=" + Hash('b')}));
  EXPECT_EQ(Page(2, "00000003", 5), std::vector<std::string>({"00000011=" + Hash('c')}));
  EXPECT_EQ(Page(2, "00000012", 5), std::vector<std::string>());
  EXPECT_EQ(Page(3, "00000000", 5), std::vector<std::string>());
  EXPECT_EQ(blbsim::IndexExtentViewText({2, 7, "/mnt/v1"}),
            "1 " + Hash('a') + "\n2 " + Hash('b') + "\n33 " + Hash('c') + "\n");

  // Lines that are not "ID HASH", or an id twice, change nothing.
  for (const std::string& bad :
       std::vector<std::string>{"4 " + Hash('A'), "x " + Hash('a'), "4 abc", "4 " + Hash('a') + " more",
                                "4 " + Hash('a') + "\n4 " + Hash('b')}) {
    EXPECT_FALSE(blbsim::SetIndexExtentView({2, 7, "/mnt/v1"}, bad, &why)) << bad;
    EXPECT_NE(why.find("ID HASH"), std::string::npos);
  }
  EXPECT_EQ(Page(2, "00000000", 9).size(), 3u);
}

TEST(ExtentView, AnUpdateReplacesItsOwnRowsAndAPutTheVolumesWholeView) {
  testing_support::ScopedStateDir state;
  std::string why;
  ASSERT_TRUE(blbsim::SetIndexExtentView({2, 7, "/mnt/v1"}, "1 " + Hash('a') + "\n2 " + Hash('b') + "\n", &why));
  ASSERT_TRUE(blbsim::SetIndexExtentView({2, 7, "/mnt/v2"}, "1 " + Hash('f') + "\n", &why));
  ASSERT_TRUE(platform::UpdateIndexExtentView({2, 7, "/mnt/v1"}, {{2, Hash('d')}, {40, Hash('e')}, {41, Hash('e')}}));
  EXPECT_EQ(blbsim::IndexExtentViewText({2, 7, "/mnt/v1"}),
            "1 " + Hash('a') + "\n2 " + Hash('d') + "\n40 " + Hash('e') + "\n41 " + Hash('e') + "\n");
  ASSERT_TRUE(platform::PutIndexExtentView({2, 7, "/mnt/v1"}, {{5, Hash('c')}, {6, Hash('c')}}));
  EXPECT_EQ(blbsim::IndexExtentViewText({2, 7, "/mnt/v1"}), "5 " + Hash('c') + "\n6 " + Hash('c') + "\n");
  EXPECT_EQ(blbsim::IndexExtentViewText({2, 7, "/mnt/v2"}), "1 " + Hash('f') + "\n");
}

}  // namespace
