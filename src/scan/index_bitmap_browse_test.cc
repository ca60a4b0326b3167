// The scan's browse of the backup index for components' extent bitmaps: the
// request it sends, and what it makes of each kind of reply.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/harness/index_harness.h"
#include "platform/harness/sim_harness.h"
#include "scan/cumulative_bitmap_helper.h"
#include "support/test_platform.h"

namespace {

using testing_support::CapturingLog;
using Bitmaps = std::map<std::string, std::string>;

class BrowsingHelper : public CCumulativeBitmapHelper {
 public:
  using CCumulativeBitmapHelper::CCumulativeBitmapHelper;
  using CCumulativeBitmapHelper::FetchIdxBmpForVolumes;
};

// A reply item for a component: with data holding the bitmap, data without
// an extent-bitmap entry (no bitmap), or no data at all.
CNMessageBase Item(const std::string& component, std::optional<std::string> bitmap, bool withData = true) {
  databrowse::BrowseData item;
  item.setstring(item.kPath.number, item.kPath.tag, component);
  if (!withData) return item;
  databrowse::BrowseDataResult data;
  if (bitmap) {
    databrowse::BrowseAdvConfigIdxExtentBitmap entry;
    entry.setbytes(entry.kBitmap.number, entry.kBitmap.tag, bitmap->data(), bitmap->size());
    databrowse::BrowseAdvancedConfig config;
    config.setObjectAccessor(config.kIdxExtentBitmap.number, config.kIdxExtentBitmap.tag, entry);
    data.setObjectAccessor(data.kAdvancedConfig.number, data.kAdvancedConfig.tag, config);
  }
  item.setObjectAccessor(item.kData.number, item.kData.tag, data);
  return item;
}

// A response of a type; with a browse result holding the items unless
// `withResult` is false.
CNMessageBase Response(int64_t type, const std::vector<CNMessageBase>& items = {}, bool withResult = true) {
  databrowse::BrowseResponse response;
  response.setint64(response.kType.number, response.kType.tag, type);
  if (withResult) {
    databrowse::BrowseResult result;
    result.setlistobject(result.kItems.number, result.kItems.tag, items);
    response.setObjectAccessor(response.kResult.number, response.kResult.tag, result);
  }
  return response;
}

CNMessageBase WithMarker(CNMessageBase response) {
  response.setint64(databrowse::BrowseResponse::kIndicesMissingNumber, 5, 1);
  return response;
}

CNMessageBase Error(int64_t code) {
  databrowse::BrowseError error;
  error.setint64(error.kCode.number, error.kCode.tag, code);
  return error;
}

CNMessageBase WithErrors(CNMessageBase response, const std::vector<CNMessageBase>& errors) {
  response.setlistobject(databrowse::BrowseResponse::kErrors.number, databrowse::BrowseResponse::kErrors.tag, errors);
  return response;
}

class IndexBitmapBrowseTest : public ::testing::Test {
 protected:
  IndexBitmapBrowseTest() {
    platform::SubclientRecord subclient;
    subclient.cellId = 2;
    subclient.appId = 7;
    subclient.clientId = 2;
    subclient.appType = 29;
    EXPECT_TRUE(blbsim::AddSubclient(subclient));
  }

  // A helper of job 101 of 2:7 made now (it reads the application type when
  // made), for client 9 without a previous job.
  CQiError Fetch(Bitmaps& bitmaps, std::vector<std::string> components = {"A", "B"}) {
    TarvosJobInfo job({"-a", "2:7", "-j", "101", "-t", "2", "-d", "ss1", "-jt", "tok"});
    EXPECT_EQ(job.ParseArgs(false), 0);
    BrowsingHelper helper(job, state_.Sub("jobresults"), 9, 0);
    return helper.FetchIdxBmpForVolumes(components, bitmaps);
  }

  static void Seed(const std::string& component, const std::string& bitmap, uint64_t appId = 7) {
    ASSERT_TRUE(blbsim::SetIndexExtentBitmap(2, appId, component, bitmap));
  }

  static void Reply(const std::vector<CNMessageBase>& messages) {
    databrowse::BrowseResponseList list;
    if (!messages.empty()) list.setlistobject(list.kResponses.number, list.kResponses.tag, messages);
    std::string why;
    ASSERT_TRUE(blbsim::QueueIndexReply(list.toString(), 21, "", &why)) << why;
  }

  static std::vector<platform::IndexRequestRecord> Logged(const std::string& call) {
    std::vector<platform::IndexRequestRecord> found;
    for (const platform::IndexRequestRecord& record : blbsim::IndexRequests())
      if (record.call == call) found.push_back(record);
    return found;
  }

  testing_support::ScopedStateDir state_;
  CapturingLog log_;
};

// A field of a message reached through nested (number, tag) pairs.
CNMessageBase Nested(const CNMessageBase& message, std::initializer_list<std::pair<int, int>> path) {
  CNMessageBase current = message;
  for (const auto& [number, tag] : path) {
    CNMessageBase next;
    EXPECT_TRUE(current.getObjectAccessor(number, tag, next)) << number << "," << tag << " of " << current.toString();
    current = next;
  }
  return current;
}

TEST_F(IndexBitmapBrowseTest, FetchesEveryRequestedComponentOfTheJobsApplicationWithOneBrowse) {
  Seed("A", std::string("\x0F\x00", 2));
  Seed("B", "\xFF");
  Seed("C", "\x01");             // not asked for
  Seed("A", "\x55\x55\x55", 8);  // another application's
  Bitmaps bitmaps;
  ASSERT_FALSE(Fetch(bitmaps).IsError());
  EXPECT_EQ(bitmaps, (Bitmaps{{"A", std::string("\x0F\x00", 2)}, {"B", "\xFF"}}));

  const std::vector<platform::IndexRequestRecord> requests = blbsim::IndexRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].call, "Initialize");
  EXPECT_EQ(requests[1].call, "Browse");
  EXPECT_EQ(requests[1].items, 2u);
  databrowse::BrowseRequest request;
  ASSERT_EQ(request.unserialize(requests[1].request), 0) << requests[1].request;
  EXPECT_EQ(request.getint64(1, 1), 21);
  const CNMessageBase entity = Nested(request, {{3, 3}});
  EXPECT_EQ(entity.getint64(1, 1), 2);
  EXPECT_EQ(entity.getint64(17, 47), 9);
  EXPECT_EQ(entity.getint64(5, 11), 7);
  EXPECT_EQ(entity.getint64(14, 38), 29);
  const CNMessageBase range = Nested(request, {{6, 6}});
  EXPECT_TRUE(range.isSet(2, 2) && range.isSet(1, 1));
  EXPECT_EQ(range.getint64(2, 2) + range.getint64(1, 1), 0);
  const std::vector<CNMessageBase> paths = request.getlistobject(4, 4);
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0].getstring(1, 1), "/");
  EXPECT_EQ(Nested(request, {{11, 11}}).getint64(9, 12), 1800);
  EXPECT_EQ(Nested(request, {{11, 11}, {3, 6}, {5, 5}, {6, 6}}).getliststring(1, 1),
            (std::vector<std::string>{"A", "B"}));
  const CNMessageBase options = Nested(request, {{7, 7}});
  EXPECT_EQ(options.getint64(2, 2) + options.getint64(11, 11) + options.getint64(44, 44), 3);
  EXPECT_FALSE(log_.Contains("Regkey set to have index extent bitmap browse timeout"));

  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nBlkLvlIdxExtBmpBrowseTimeOutInSecs", "600"));
  ASSERT_FALSE(Fetch(bitmaps).IsError());
  EXPECT_TRUE(log_.Contains("Regkey set to have index extent bitmap browse timeout[600]"));
  ASSERT_TRUE(request.unserialize(Logged("Browse").back().request) == 0);
  EXPECT_EQ(Nested(request, {{11, 11}}).getint64(9, 12), 600);
}

struct ReplyCase {
  const char* name;
  std::vector<std::string> seeded;  // of A = 0F 00 and B = FF
  std::optional<std::vector<CNMessageBase>> reply;
  long long code;  // 0: success
  CQiError::Kind kind;
  std::string message;
  Bitmaps left;
};

TEST_F(IndexBitmapBrowseTest, EachKindOfReplyIsTakenOrRefusedAsItMust) {
  const std::string a("\x0F\x00", 2);
  const std::string b("\xFF");
  const std::string c("\x3C");
  const CQiError::Kind errNo = CQiError::Kind::kErrNo;
  const CQiError::Kind win32 = CQiError::Kind::kWin32;
  const std::string missing = "Index bitmap is not received for all components[<Requested= A B>:<Received=";
  // clang-format off
  const std::vector<ReplyCase> cases = {
      {"index holds A only", {"A"}, std::nullopt, 774, errNo, missing + " A>]", {{"A", a}}},
      // Equal counts: the requested B is still missing.
      {"A and another component", {}, {{Response(1, {Item("A", a), Item("C", c)})}}, 774, errNo,
       missing + " A C>]", {{"A", a}, {"C", c}}},
      {"index holds neither", {}, std::nullopt, 1627, win32, "Empty results sent by Index", {}},
      {"no response at all", {"A", "B"}, {{}}, 774, errNo, missing + ">]", {}},
      {"partial", {"A", "B"}, {{Response(2, {Item("A", a), Item("B", b)})}}, 1627, win32,
       "Some indices might be missing on index cache", {}},
      {"indices missing", {"A", "B"}, {{WithMarker(Response(1, {Item("A", a), Item("B", b)}))}}, 1627, win32,
       "Some indices might be missing on index cache", {}},
      {"failed with an error", {"A", "B"}, {{WithErrors(Response(3), {Error(10)})}}, 1627, win32,
       "FIND request failed at stowhost", {}},
      {"an error in place of a response", {"A", "B"}, {{Error(10)}}, 774, errNo,
       "Invalid browse response tag[" + std::to_string(databrowse::BrowseError::kTagId) +
           "][databrowse::BrowseError]",
       {}},
      {"an item without data", {"A", "B"}, {{Response(1, {Item("A", a, false), Item("B", b)})}}, 774, errNo,
       "Browse data result no set for component[A]", {}},
      // Entries taken before a failure stay.
      {"a later item without data", {}, {{Response(1, {Item("A", a)}), Response(1, {Item("B", b, false)})}}, 774,
       errNo, "Browse data result no set for component[B]", {{"A", a}}},
      {"an item without a bitmap", {}, {{Response(1, {Item("A", std::nullopt), Item("B", b)})}}, 774, errNo,
       missing + " B>]", {{"B", b}}},
      {"a later item replaces an earlier one", {}, {{Response(1, {Item("A", "\x01"), Item("B", b), Item("A", a)})}},
       0, CQiError::Kind::kNone, "", {{"A", a}, {"B", b}}},
      // The checks stop at the first response without more results; what
      // follows is read, and one there without a browse result adds nothing.
      {"no more, nothing, then A and B", {},
       {{Response(5, {Item("A", "\x01")}), Response(1, {}, false), Response(1, {Item("A", a), Item("B", b)})}}, 0,
       CQiError::Kind::kNone, "", {{"A", a}, {"B", b}}},
      {"no more only", {"A", "B"}, {{Response(5, {Item("A", a), Item("B", b)})}}, 774, errNo, missing + ">]", {}},
  };
  // clang-format on
  for (const ReplyCase& test : cases) {
    SCOPED_TRACE(test.name);
    testing_support::ScopedStateDir state;
    platform::SubclientRecord subclient;
    subclient.cellId = 2;
    subclient.appId = 7;
    subclient.appType = 29;
    ASSERT_TRUE(blbsim::AddSubclient(subclient));
    for (const std::string& component : test.seeded) Seed(component, component == "A" ? a : b);
    if (test.reply) Reply(*test.reply);
    Bitmaps bitmaps;
    const CQiError result = Fetch(bitmaps);
    EXPECT_EQ(FXErrorUtil::GetCode(result), test.code) << result.AsString();
    EXPECT_EQ(result.GetKind(), test.kind);
    EXPECT_EQ(result.GetMessage(), test.message);
    EXPECT_EQ(bitmaps, test.left);
  }
}

TEST_F(IndexBitmapBrowseTest, RefusedRequestsAndFailedCallsFailTheFetch) {
  Seed("A", "\x01");
  Seed("B", "\x02");
  Bitmaps bitmaps;

  ASSERT_TRUE(blbsim::SetIndexingV2(2, 7, false));
  CQiError result = Fetch(bitmaps);
  EXPECT_TRUE(FXErrorUtil::IsWin32(result, 774)) << result.AsString();
  EXPECT_EQ(result.GetMessage(), "Failed to fetch proper Indexing browse request");
  EXPECT_TRUE(Logged("Browse").empty());
  ASSERT_TRUE(blbsim::SetIndexingV2(2, 7, true));

  blbsim::SetFault("IdxBrowseClient::Initialize", 3);
  result = Fetch(bitmaps);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(result, 774)) << result.AsString();
  EXPECT_EQ(result.GetMessage(), "IdxBrowseClient Initialize failed");
  EXPECT_NE(result.AsString().find("Failed in initializing IdxBrowseClient instance, error=["), std::string::npos);
  EXPECT_TRUE(log_.Contains("Failed to initialize IdxBrowseClient"));
  EXPECT_TRUE(Logged("Browse").empty());
  blbsim::ClearFaults();

  blbsim::SetFault("IdxBrowseClient::Browse", -5);
  result = Fetch(bitmaps);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(result, 774)) << result.AsString();
  EXPECT_EQ(result.GetMessage(), "Failed to browse via IdxBrowseClient");
  ASSERT_EQ(Logged("Browse").size(), 1u);
  EXPECT_EQ(Logged("Browse")[0].result, -5);
  EXPECT_TRUE(bitmaps.empty());
}

}  // namespace
