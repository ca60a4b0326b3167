// The simulated index's browse of published items: which jobs' items a
// request selects, what each mode answers and which version of a path wins.
#include <gtest/gtest.h>

#include "platform/config/agent_config.h"
#include "platform/harness/index_harness.h"
#include "platform/indexing/idx_browse_client.h"
#include "platform/jobs/bkp_job_client.h"
#include "support/test_platform.h"

namespace {

void PutSubclient(uint64_t appId, uint64_t backupSetId, bool indexingV2) {
  platform::SubclientRecord subclient;
  subclient.cellId = 2;
  subclient.appId = appId;
  subclient.clientId = 9;
  subclient.appType = 29;
  subclient.backupSetId = backupSetId;
  subclient.indexingV2 = indexingV2;
  ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
}

void PutJob(uint64_t jobId, uint64_t appId) {
  platform::JobRecord job;
  job.jobId = jobId;
  job.cellId = 2;
  job.appId = appId;
  ASSERT_TRUE(platform::JobService::Current().PutJob(job));
}

void Publish(uint64_t jobId, uint64_t time, const std::string& path, bool folder, const std::string& data = "") {
  ASSERT_TRUE(blbsim::PublishIndexItem(jobId, time, path, folder, data));
}

databrowse::BrowseRequest Request(int64_t type, const std::string& path, uint64_t from, uint64_t to) {
  KzEntities::GenericEntity entity;
  entity.setuint64(entity.kVornCellId.number, entity.kVornCellId.tag, 2);
  entity.setuint64(entity.kClientId.number, entity.kClientId.tag, 9);
  entity.setuint64(entity.kBackupsetId.number, entity.kBackupsetId.tag, 3);
  entity.setuint64(entity.kAppType.number, entity.kAppType.tag, 29);
  databrowse::BrowseTimeRange range;
  range.setuint64(range.kFromTime.number, range.kFromTime.tag, from);
  range.setuint64(range.kToTime.number, range.kToTime.tag, to);
  databrowse::BrowsePath browsePath;
  browsePath.setstring(browsePath.kPath.number, browsePath.kPath.tag, path);
  databrowse::BrowseRequest request;
  request.setint64(request.kRequestType.number, request.kRequestType.tag, type);
  request.setObjectAccessor(request.kEntity.number, request.kEntity.tag, entity);
  request.setObjectAccessor(request.kTimeRange.number, request.kTimeRange.tag, range);
  request.addlistobject(request.kPaths.number, request.kPaths.tag, browsePath);
  return request;
}

struct Answer {
  int64_t status = -1;
  std::vector<std::string> names;  // folders end in '/'
  std::vector<std::string> data;   // of the other items
};

Answer Browse(const databrowse::BrowseRequest& request) {
  IdxBrowseClient client;
  EXPECT_EQ(client.Initialize(request, nullptr, 2000, nullptr, nullptr), 0);
  databrowse::BrowseResponseList reply;
  EXPECT_EQ(client.Browse(nullptr, &reply), 0);
  const std::vector<CNMessageBase> responses = reply.getlistobject(reply.kResponses.number, reply.kResponses.tag);
  Answer answer;
  if (responses.size() != 1) return answer;
  answer.status = responses[0].getint64(1, 1);
  CNMessageBase result;
  responses[0].getObjectAccessor(6, 9, result);
  for (const CNMessageBase& item : result.getlistobject(3, 6)) {
    CNMessageBase flags, dataResult, record, dataInfo;
    const bool folder = item.getObjectAccessor(1, 1, flags) && flags.getint64(2, 2) != 0;
    answer.names.push_back(item.getstring(6, 9) + (folder ? "/" : ""));
    if (!folder && item.getObjectAccessor(9, 21, dataResult) && dataResult.getObjectAccessor(11, 14, record) &&
        record.getObjectAccessor(36, 36, dataInfo))
      answer.data.push_back(dataInfo.getstring(1, 1));
  }
  return answer;
}

TEST(ItemBrowse, AnswersThePublishedItemsOfTheSelectedJobs) {
  testing_support::ScopedStateDir state;
  PutSubclient(7, 3, true);
  PutSubclient(8, 4, true);
  PutJob(500, 7);
  PutJob(510, 8);  // another backup set
  Publish(500, 1000, "\\[System State]", true);
  Publish(500, 1000, "\\[System State]\\Special Components", true);
  Publish(500, 1000, "\\[System State]\\Special Components\\.self", false, "bag");
  Publish(500, 1000, "\\[System State]\\Special Components\\Keystep Files", true);
  Publish(500, 1000, "\\[System State]\\Special Components\\Keystep Files\\S", false, "old");
  Publish(500, 1000, "\\[System State]\\Special Components\\Keystep Files\\S", false, "new");
  Publish(510, 1000, "\\[System State]\\Special Components\\Other", true);

  Answer under = Browse(Request(0, "\\[System State]\\\\Special Components", 900, 0));
  EXPECT_EQ(under.status, 0);
  EXPECT_EQ(under.names, (std::vector<std::string>{".self", "Keystep Files/"}));
  EXPECT_EQ(under.data, (std::vector<std::string>{"bag"}));

  Answer file = Browse(Request(1, "\\[System State]\\Special Components\\Keystep Files\\S", 900, 0));
  EXPECT_EQ(file.names, (std::vector<std::string>{"S"}));
  EXPECT_EQ(file.data, (std::vector<std::string>{"new"}));
  // Item mode answers a folder with itself; a path without an item with what is under it.
  EXPECT_EQ(Browse(Request(1, "\\[System State]\\Special Components\\Keystep Files", 900, 0)).names,
            (std::vector<std::string>{"Keystep Files/"}));
  Publish(500, 1000, "\\Loose\\A\\x", false, "x");
  EXPECT_EQ(Browse(Request(1, "\\Loose\\A", 900, 0)).names, (std::vector<std::string>{"x"}));

  // The time range selects by the archive file's creation time.
  EXPECT_EQ(Browse(Request(0, "\\[System State]", 1001, 0)).status, 5);
  EXPECT_EQ(Browse(Request(0, "\\[System State]", 900, 999)).status, 5);
  EXPECT_EQ(Browse(Request(0, "\\[System State]", 900, 1000)).names, (std::vector<std::string>{"Special Components/"}));
  EXPECT_EQ(Browse(Request(0, "\\Elsewhere", 0, 0)).status, 5);
}

TEST(ItemBrowse, RequestWithoutApplicationIsV2WhenASubclientItNamesIs) {
  testing_support::ScopedStateDir state;
  PutSubclient(7, 3, false);
  IdxBrowseClient client;
  ASSERT_EQ(client.Initialize(Request(0, "\\V", 0, 0), nullptr, 2000, nullptr, nullptr), 0);
  EXPECT_FALSE(client.isIndexingV2BrowseRequest());
  PutSubclient(8, 3, true);
  EXPECT_TRUE(client.isIndexingV2BrowseRequest());
  PutSubclient(8, 4, true);  // the same subclient in another backup set
  EXPECT_FALSE(client.isIndexingV2BrowseRequest());
}

}  // namespace
