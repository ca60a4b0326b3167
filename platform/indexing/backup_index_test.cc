// The browse client over the simulated backup index: what Initialize takes,
// how replies reach the caller, which queued reply a browse gets, and the
// extent bitmaps the index answers with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/harness/index_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/indexing/idx_browse_client.h"
#include "platform/indexing/indexing_v2.h"
#include "platform/services/subclient.h"
#include "support/test_platform.h"

namespace {

using testing_support::ScopedStateDir;

databrowse::BrowseRequest Request(int64_t type, uint64_t cellId, uint64_t appId, const std::string& path = "/") {
  databrowse::BrowseRequest request;
  request.setint64(request.kRequestType.number, request.kRequestType.tag, type);
  KzEntities::GenericEntity entity;
  entity.setuint64(entity.kVornCellId.number, entity.kVornCellId.tag, cellId);
  entity.setuint64(entity.kApplicationId.number, entity.kApplicationId.tag, appId);
  request.setObjectAccessor(request.kEntity.number, request.kEntity.tag, entity);
  databrowse::BrowsePath browsePath;
  browsePath.setstring(browsePath.kPath.number, browsePath.kPath.tag, path);
  request.addlistobject(request.kPaths.number, request.kPaths.tag, browsePath);
  return request;
}

// A response list of responses of the given types, as queued text.
std::string ReplyOf(const std::vector<int64_t>& types) {
  databrowse::BrowseResponseList list;
  for (int64_t type : types) {
    databrowse::BrowseResponse response;
    response.setint64(response.kType.number, response.kType.tag, type);
    list.addlistobject(list.kResponses.number, list.kResponses.tag, response);
  }
  return list.toString();
}

void Queue(const std::string& reply, std::optional<int64_t> type = std::nullopt, const std::string& path = "") {
  std::string why;
  ASSERT_TRUE(blbsim::QueueIndexReply(reply, type, path, &why)) << why;
}

std::vector<int64_t> TypesOf(const std::vector<CNMessageBase>& messages) {
  std::vector<int64_t> types;
  for (const CNMessageBase& message : messages) types.push_back(message.getint64(1, 1));
  return types;
}

std::vector<int64_t> Browse(const databrowse::BrowseRequest& request) {
  IdxBrowseClient client;
  EXPECT_EQ(client.Initialize(request, nullptr, 2000, nullptr, nullptr), 0);
  databrowse::BrowseResponseList list;
  EXPECT_EQ(client.Browse(nullptr, &list), 0);
  return TypesOf(list.getlistobject(1, 1));
}

class Recorder : public IdxBrowseClientResp {
 public:
  bool processResp(CNMessageBase* message) override {
    seen.push_back(message->toString());
    return false;
  }
  std::vector<std::string> seen;
};

class BackupIndexTest : public ::testing::Test {
 protected:
  BackupIndexTest() {
    platform::SubclientRecord subclient;
    subclient.cellId = 2;
    subclient.appId = 7;
    subclient.appType = 29;
    EXPECT_TRUE(blbsim::AddSubclient(subclient));
  }
  ScopedStateDir state_;
};

TEST_F(BackupIndexTest, EveryReplyMessageIsHandedOverInOrderAndTheListIsReplaced) {
  databrowse::BrowseError error;
  error.setint64(error.kCode.number, error.kCode.tag, 10);
  databrowse::BrowseResponseList three;
  three.setlistobject(three.kResponses.number, three.kResponses.tag,
                      {databrowse::BrowseResponse(), error, databrowse::BrowseResponse()});
  Queue(three.toString());
  Queue(ReplyOf({5}));

  Recorder handler;
  IdxBrowseClient client;
  ASSERT_EQ(client.Initialize(Request(21, 2, 7), &handler, 2000, nullptr, nullptr), 0);
  databrowse::BrowseResponseList list;
  ASSERT_EQ(client.Browse(nullptr, &list), 0);
  // A handler that answers false still gets every message.
  ASSERT_EQ(handler.seen.size(), 3u);
  std::vector<std::string> sent;
  for (const CNMessageBase& message : three.getlistobject(1, 1)) sent.push_back(message.toString());
  EXPECT_EQ(handler.seen, sent);
  EXPECT_EQ(list.getlistobject(1, 1).size(), 3u);

  // A second browse into the same list leaves only its own reply.
  ASSERT_EQ(client.Browse(nullptr, &list), 0);
  EXPECT_EQ(TypesOf(list.getlistobject(1, 1)), std::vector<int64_t>{5});
  EXPECT_EQ(handler.seen.size(), 4u);
}

TEST_F(BackupIndexTest, InitializeRefusesARequestWithoutItsCellAndBrowseThenReachesNoIndex) {
  databrowse::BrowseRequest withoutEntity = Request(21, 2, 7);
  withoutEntity.unset(withoutEntity.kEntity.number, withoutEntity.kEntity.tag);
  IdxBrowseClient client;
  EXPECT_FALSE(client.isIndexingV2BrowseRequest());
  EXPECT_LT(client.Browse(nullptr, nullptr), 0);
  EXPECT_LT(client.Initialize(withoutEntity, nullptr, 2000, nullptr, nullptr), 0);
  EXPECT_TRUE(client.isInitFailed());
  EXPECT_LT(client.Initialize(Request(21, 0, 7), nullptr, 2000, nullptr, nullptr), 0);
  EXPECT_TRUE(client.isInitFailed());
  EXPECT_FALSE(client.isIndexingV2BrowseRequest());
  databrowse::BrowseResponseList list;
  EXPECT_LT(client.Browse(nullptr, &list), 0);

  blbsim::SetFault("IdxBrowseClient::Initialize", 7, false, 1);
  EXPECT_EQ(client.Initialize(Request(21, 2, 7), nullptr, 2000, nullptr, nullptr), -7);
  EXPECT_TRUE(client.isInitFailed());
  // Taken again, the request clears the failure.
  EXPECT_EQ(client.Initialize(Request(21, 2, 7), nullptr, 2000, nullptr, nullptr), 0);
  EXPECT_FALSE(client.isInitFailed());
  EXPECT_EQ(client.Browse(nullptr, &list), 0);

  std::vector<std::string> calls;
  for (const platform::IndexRequestRecord& record : blbsim::IndexRequests())
    calls.push_back(record.call + " " + std::to_string(record.result));
  EXPECT_EQ(calls,
            (std::vector<std::string>{"Initialize -1", "Initialize -1", "Initialize -7", "Initialize 0", "Browse 0"}));
}

TEST_F(BackupIndexTest, TheIndexGetsTheRequestAsTheSettersLeftIt) {
  IdxBrowseClient client;
  ASSERT_EQ(client.Initialize(Request(0, 2, 7, "/first"), nullptr, 2000, nullptr, nullptr), 0);
  databrowse::BrowsePath second;
  second.setstring(second.kPath.number, second.kPath.tag, "/second");
  client.getPaths().clear();
  client.setPaths({second});
  databrowse::Query query;
  query.setstring(2, 2, "0");
  client.getQueries().push_back(query);
  databrowse::BrowseOptions options;
  options.setint64(44, 44, 1);
  client.setOptions(&options);
  client.setViewId("TABLEVIEW");
  client.setWorkerId("W1");
  ASSERT_EQ(client.Browse(nullptr, nullptr), 0);

  const std::string sent = blbsim::IndexRequests().back().request;
  EXPECT_EQ(sent, client.serializeRequest());
  databrowse::BrowseRequest request;
  ASSERT_EQ(request.unserialize(sent), 0);
  const std::vector<CNMessageBase> paths = request.getlistobject(4, 4);
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0].getstring(1, 1), "/second");
  EXPECT_EQ(request.getlistobject(12, 12).at(0).getstring(2, 2), "0");
  CNMessageBase sentOptions;
  ASSERT_TRUE(request.getObjectAccessor(7, 7, sentOptions));
  EXPECT_EQ(sentOptions, options);
  EXPECT_EQ(request.getstring(13, 13), "W1");
  EXPECT_EQ(request.getstring(14, 14), "TABLEVIEW");
  client.setOptions(nullptr);
  client.getQueries().clear();
  EXPECT_EQ(client.serializeRequest().find("7:7"), std::string::npos);
  EXPECT_EQ(client.serializeRequest().find("12:12"), std::string::npos);
}

TEST_F(BackupIndexTest, IndexingV2AndTheTypeAreTheSubclientsAtTheTimeOfTheCall) {
  IdxBrowseClient client;
  ASSERT_EQ(client.Initialize(Request(21, 2, 7), nullptr, 2000, nullptr, nullptr), 0);
  EXPECT_TRUE(client.isIndexingV2BrowseRequest());
  bool v2 = false;
  EXPECT_EQ(shouldUseIndexingV2(2, 7, v2), 0);
  EXPECT_TRUE(v2);
  ASSERT_TRUE(blbsim::SetIndexingV2(2, 7, false));
  EXPECT_FALSE(client.isIndexingV2BrowseRequest());
  EXPECT_EQ(shouldUseIndexingV2(2, 7, v2), 0);
  EXPECT_FALSE(v2);
  v2 = true;
  EXPECT_EQ(shouldUseIndexingV2(2, 8, v2), 0);
  EXPECT_FALSE(v2);
  blbsim::SetFault("shouldUseIndexingV2", 0, false, 1);
  EXPECT_NE(shouldUseIndexingV2(2, 7, v2), 0);
  EXPECT_FALSE(blbsim::SetIndexingV2(2, 8, true));
  IdxBrowseClient unknown;
  ASSERT_EQ(unknown.Initialize(Request(21, 2, 8), nullptr, 2000, nullptr, nullptr), 0);
  EXPECT_FALSE(unknown.isIndexingV2BrowseRequest());

  unsigned long type = 5;
  EXPECT_EQ(ApplicationId(2, 7).getAppType(type, nullptr), 0);
  EXPECT_EQ(type, 29u);
  EXPECT_EQ(ApplicationId(2, 8).getAppType(type, nullptr), 0);
  EXPECT_EQ(type, 0u);
  blbsim::SetFault("ApplicationId::getAppType", 13);
  type = 5;
  EXPECT_EQ(ApplicationId(2, 7).getAppType(type, nullptr), 13);
  EXPECT_EQ(type, 5u);
}

TEST_F(BackupIndexTest, AQueuedReplyGoesOnceToTheOldestMatchOfTypeAndPath) {
  Queue(ReplyOf({1}), 21, "vol1");
  Queue(ReplyOf({2}), std::nullopt, "");
  Queue(ReplyOf({3}), 0, "");
  std::string why;
  EXPECT_FALSE(blbsim::QueueIndexReply(databrowse::BrowseRequest().toString(), 21, "", &why));
  EXPECT_FALSE(why.empty());

  EXPECT_EQ(Browse(Request(21, 2, 7, "/x/vol1/y")), std::vector<int64_t>{1});
  EXPECT_EQ(Browse(Request(21, 2, 7, "/x/vol1/y")), std::vector<int64_t>{2});
  // The index's own answer: the extent-bitmap request has no block here, so
  // no handler answers it.
  EXPECT_EQ(Browse(Request(21, 2, 7, "/x/vol1/y")), std::vector<int64_t>{});
  EXPECT_EQ(Browse(Request(0, 2, 7)), std::vector<int64_t>{3});
  // Then the index's own answer: no published item lies under "/".
  EXPECT_EQ(Browse(Request(0, 2, 7)), std::vector<int64_t>{5});
}

TEST_F(BackupIndexTest, ExtentBitmapsComeInTheRequestedOrderForTheEntitysApplication) {
  std::string large(1 << 20, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 7919) >> 3);
  ASSERT_TRUE(blbsim::SetIndexExtentBitmap(2, 7, "C", large));
  ASSERT_TRUE(blbsim::SetIndexExtentBitmap(2, 7, "A", "\x01"));
  ASSERT_TRUE(blbsim::SetIndexExtentBitmap(2, 7, "B", "\x02"));
  ASSERT_TRUE(blbsim::SetIndexExtentBitmap(2, 8, "A", "\x03"));

  databrowse::BrowseRequest request = Request(21, 2, 7);
  databrowse::BrowseAdvConfigFetchIdxExtentBitmap fetch;
  fetch.setliststring(fetch.kComponents.number, fetch.kComponents.tag, {"C", "X", "A"});
  databrowse::BrowseAdvancedConfigExtendedConfig extended;
  extended.setObjectAccessor(6, 6, fetch);
  databrowse::BrowseAdvancedConfig config;
  config.setObjectAccessor(5, 5, extended);
  databrowse::BrowseAdvancedOptions options;
  options.setObjectAccessor(3, 6, config);
  request.setObjectAccessor(11, 11, options);

  IdxBrowseClient client;
  ASSERT_EQ(client.Initialize(request, nullptr, 2000, nullptr, nullptr), 0);
  databrowse::BrowseResponseList list;
  ASSERT_EQ(client.Browse(nullptr, &list), 0);
  const std::vector<CNMessageBase> responses = list.getlistobject(1, 1);
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].getTagID(), databrowse::BrowseResponse::kTagId);
  EXPECT_EQ(responses[0].getint64(1, 1), 1);
  CNMessageBase result;
  ASSERT_TRUE(responses[0].getObjectAccessor(6, 9, result));
  std::vector<std::string> names, bitmaps;
  for (const CNMessageBase& item : result.getlistobject(3, 6)) {
    names.push_back(item.getstring(7, 13));
    CNMessageBase data, advanced, entry;
    ASSERT_TRUE(item.getObjectAccessor(9, 21, data) && data.getObjectAccessor(22, 40, advanced) &&
                advanced.getObjectAccessor(2, 2, entry));
    bitmaps.push_back(entry.getbytes(3, 3));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"C", "A"}));
  EXPECT_EQ(bitmaps, (std::vector<std::string>{large, "\x01"}));
  const platform::IndexRequestRecord logged = blbsim::IndexRequests().back();
  EXPECT_EQ(logged.call, "Browse");
  EXPECT_EQ(logged.responses, 1u);
  EXPECT_EQ(logged.items, 2u);
}

}  // namespace
