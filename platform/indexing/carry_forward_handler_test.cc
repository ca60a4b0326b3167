// The simulated index's carry-forward: where the request's cell comes from,
// what it records, and an archive file it does not know.
#include <gtest/gtest.h>

#include "platform/harness/index_harness.h"
#include "platform/indexing/idx_browse_client.h"
#include "platform/indexing/index_carry_forward.h"
#include "platform/services/archive_manager.h"
#include "support/test_platform.h"

namespace {

databrowse::BrowseRequest CarryForward(uint64_t cellId, int64_t afile) {
  databrowse::PathToAfileMap path;
  path.setstring(path.kPath.number, path.kPath.tag, "/");
  path.setint64(path.kArchFileId.number, path.kArchFileId.tag, afile);
  path.setint64(path.kArchGroupId.number, path.kArchGroupId.tag, 4);
  databrowse::ViewIdComponentIdToAfileMap entry;
  entry.setstring(entry.kViewName.number, entry.kViewName.tag, "JOBINFO");
  entry.addlistobject(entry.kPaths.number, entry.kPaths.tag, path);
  databrowse::BrowseAdvConfigGenerateIdxLogs logs;
  logs.addlistobject(logs.kEntries.number, logs.kEntries.tag, entry);
  logs.setuint64(logs.kSourceJobId.number, logs.kSourceJobId.tag, 55);
  logs.setuint64(logs.kVornCellId.number, logs.kVornCellId.tag, cellId);
  databrowse::BrowseAdvancedConfigExtendedConfig extended;
  extended.setObjectAccessor(extended.kGenerateIdxLogs.number, extended.kGenerateIdxLogs.tag, logs);
  databrowse::BrowseAdvancedConfig config;
  config.setObjectAccessor(config.kExtendedConfig.number, config.kExtendedConfig.tag, extended);
  databrowse::BrowseAdvancedOptions options;
  options.setObjectAccessor(options.kAdvancedConfig.number, options.kAdvancedConfig.tag, config);
  KzEntities::GenericEntity entity;
  entity.setuint64(entity.kApplicationId.number, entity.kApplicationId.tag, 7);
  databrowse::BrowseRequest request;
  request.setint64(request.kRequestType.number, request.kRequestType.tag, 11);
  request.setObjectAccessor(request.kEntity.number, request.kEntity.tag, entity);
  request.setObjectAccessor(request.kAdvancedOptions.number, request.kAdvancedOptions.tag, options);
  return request;
}

TEST(IndexCarryForward, RecordsUnderTheArchiveFilesJobOrRefusesAnUnknownFile) {
  testing_support::ScopedStateDir state;
  platform::ArchiveFileRecord file;
  file.archFileId = 503;
  file.jobId = 101;
  file.cellId = 2;
  ASSERT_TRUE(platform::ArchiveManager::Current().Put(file));

  IdxBrowseClient noCell;
  noCell.Initialize(CarryForward(0, 503), nullptr, 2000, nullptr, nullptr);
  EXPECT_TRUE(noCell.isInitFailed());

  IdxBrowseClient client;
  client.Initialize(CarryForward(2, 503), nullptr, 2000, nullptr, nullptr);
  ASSERT_FALSE(client.isInitFailed());
  databrowse::BrowseResponseList reply;
  ASSERT_EQ(client.Browse(nullptr, &reply), 0);
  std::vector<CNMessageBase> responses = reply.getlistobject(reply.kResponses.number, reply.kResponses.tag);
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].getint64(1, 1), 1);
  const std::vector<platform::IndexCarryForwardRecord> rows = blbsim::IndexCarryForwards(101);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].sourceJobId, 55u);
  EXPECT_EQ(rows[0].view, "JOBINFO");
  EXPECT_EQ(rows[0].groupId, 4);

  IdxBrowseClient unknown;
  unknown.Initialize(CarryForward(2, 999), nullptr, 2000, nullptr, nullptr);
  ASSERT_EQ(unknown.Browse(nullptr, &reply), 0);
  responses = reply.getlistobject(reply.kResponses.number, reply.kResponses.tag);
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].getint64(1, 1), 3);
  EXPECT_EQ(responses[0].getlistobject(4, 7).size(), 1u);
  EXPECT_EQ(blbsim::IndexCarryForwards(101).size(), 1u);
}

}  // namespace
