// The closed facades over the simulated services, each with the read of its
// records failed: the caller is told the service failed, never answered as
// if the record were not there (an empty list, "unknown", a default).
#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/config/client_application_list.h"
#include "platform/dbagents/uxa_backup.h"
#include "platform/harness/application_harness.h"
#include "platform/harness/job_info_harness.h"
#include "platform/harness/mount_harness.h"
#include "platform/harness/services_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/harness/snap_harness.h"
#include "platform/indexing/indexing_v2.h"
#include "platform/jobinfo/job_info_reader.h"
#include "platform/lvm/lvm.h"
#include "platform/messages/uxa_messages.h"
#include "platform/mnttab/kz_mnt_tab.h"
#include "platform/services/archive_manager.h"
#include "platform/services/fs_subclient_conf.h"
#include "platform/services/subclient.h"
#include "platform/snapshot/snap_client_api.h"
#include "support/state_db_read_failure.h"
#include "support/test_platform.h"

namespace {

struct Facade {
  const char* name;
  const char* read;                     // text of the statement whose read fails
  std::function<std::string()> answer;  // the facade's answer, as text
  const char* found;                    // with the record there
  const char* failed;                   // with its read failed
};

void SeedRecords() {
  platform::SubclientRecord subclient;
  subclient.cellId = 2;
  subclient.appId = 7;
  subclient.clientId = 2;
  subclient.appType = 29;
  ASSERT_TRUE(blbsim::AddSubclient(subclient));
  ASSERT_TRUE(blbsim::SetSubclientContents(2, 7, {"/mnt/a"}));
  ASSERT_TRUE(blbsim::SetApplicationTypes(2, {{29, "fs"}}));
  ASSERT_TRUE(blbsim::AddArchiveFile(31, 40, 7, 2, 1, 1, 1000, "ma1"));
  std::string why;
  ASSERT_TRUE(blbsim::AddSnapRecord("job=40 snapjob=40 cell=2 engine=1 copy=0 synthfull=0\n", why)) << why;
  LVM::VG tank;
  tank.name = "tank";
  tank.lv_map["fs1"] = {"fs1", "", "tank/fs1", {"sdb"}};
  ASSERT_TRUE(blbsim::AddVolumeGroup(tank));
  ASSERT_TRUE(blbsim::AddOracleFile({21, "", "SYSTEM", "/d"}));
  platform::JobInfoJobRecord job;
  job.jobId = 40;
  job.startTime = 1700000000;
  ASSERT_TRUE(blbsim::SetJobInfoJob(job));
  ASSERT_TRUE(blbsim::SetRealMounts(false));
}

std::string Code(long long code) {
  return std::to_string(code);
}

const Facade kFacades[] = {
    {"application types", "FROM application_types",
     [] {
       std::vector<uint64_t> types;
       std::vector<std::string> names;
       const int code = ClientApplicationList::getApplicationTypes(types, names, 2, nullptr, 0);
       return Code(code) + " " + Code(static_cast<long long>(types.size()));
     },
     "0 1", "1627 0"},
    {"archive file", "FROM archive_files",
     [] {
       GetAfileInfoArgsCC_t args;
       args.archFileId = 31;
       GetAfileInfoRetCC_t reply;
       return Code(ArMgrClientAPI().getAfileInfo(&args, &reply));
     },
     "0", "1627"},
    {"volume snap record", "FROM snap_records",
     [] {
       SMVolSnapInfo record;
       record.setVornCellId(2);
       record.setSnapJobId(40);
       KZSnapClientAPI api;
       const bool found = api.getVolumeSnaps(record);
       int code = 0;
       std::string text;
       api.getErrCodeAndStr(code, text);
       return std::string(found ? "found" : "not") + " " + Code(code);
     },
     "found 0", "not 1627"},
    {"subclient contents", "FROM subclient_contents",
     [] {
       ApplicationId application(2, 7);
       FSSubclientConf conf;
       return Code(conf.load(&application, 0));
     },
     "0", "-1627"},
    {"application type", "FROM subclients WHERE",
     [] {
       unsigned long type = 0;
       const int code = ApplicationId(2, 7).getAppType(type, nullptr);
       return Code(code) + " " + Code(static_cast<long long>(type));
     },
     "0 29", "1627 0"},
    {"indexing V2", "FROM subclients WHERE",
     [] {
       bool v2 = false;
       return Code(shouldUseIndexingV2(2, 7, v2));
     },
     "0", "1627"},
    {"pool map", "FROM lvm_logical_volumes WHERE device",
     [] {
       std::unique_ptr<LVM> lvm(LVM::getByLVDevice("tank/fs1"));
       try {
         return lvm->getVG("tank/fs1").name;
       } catch (const std::runtime_error&) {
         return std::string("thrown");
       }
     },
     "tank", "thrown"},
    {"mount table", "FROM mount_settings",
     [] {
       std::list<KzMntTab::Entry> entries;
       return std::string(KzMntTab::getAll(entries).IsError() ? "error" : "read");
     },
     "read", "error"},
    {"Oracle content", "FROM oracle_files",
     [] {
       Uxa::OraDatabaseContent content;
       content.setint64(1, 1, 21);
       return Code(UxaBackup::getDatabaseContent(22, 0, content));
     },
     "0", "1627"},
    {"job-info reader", "FROM job_info_jobs",
     [] {
       CJobInfoMetadataReaderManager manager("ss1", 41, 40, 2, 7, 0, 0);
       std::list<std::string> names;
       const CQiError listed = manager.DownloadFiles("C", names, "", 0);
       return Code(manager.GetJobStartTime()) + " " + Code(FXErrorUtil::IsWin32(listed) ? 1627 : 0);
     },
     "1700000000 0", "0 1627"},
};

}  // namespace

TEST(FailedRead, EveryFacadeTellsTheServiceFailedNotThatTheRecordIsMissing) {
  testing_support::ScopedStateDir state;
  SeedRecords();
  for (const Facade& facade : kFacades) {
    SCOPED_TRACE(facade.name);
    EXPECT_EQ(facade.answer(), facade.found);
    testing_support::ScopedStateDbReadFailure disk;
    disk.FailReadOf(facade.read, 1, testing_support::StateDbReadFault::kDenied);
    EXPECT_EQ(facade.answer(), facade.failed);
    EXPECT_TRUE(disk.Struck());
  }
}
