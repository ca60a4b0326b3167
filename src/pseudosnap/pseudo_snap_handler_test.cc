#include <typeinfo>

#include "blocklevel/pseudo_snap_archive_handler.h"
#include "devconfig/devconfig_test_fixtures.h"
#include "platform/harness/sim_harness.h"
#include "platform/sim/fault_table.h"
#include "pseudosnap/pseudosnap_test_fixtures.h"

namespace {

using devconfig_test::SlotOf;
using pseudosnap_test::Handler;
using pseudosnap_test::PseudoSnapTest;

// The variants' builds call the hooks through the vtable, after the two
// destructor slots.
TEST(PseudoSnapHandlerPrivate, VirtualOperationsKeepTheirSlots) {
  using H = CPseudoSnapArchiveHandlerPrivate;
  EXPECT_EQ(SlotOf(&H::GetSnapInfo), 2);
  EXPECT_EQ(SlotOf(&H::CreateSnapArchiveFiles), 3);
  EXPECT_EQ(SlotOf(&H::GetMountMap), 4);
  EXPECT_EQ(SlotOf(&H::DownloadAgentIndexFiles), 5);
  EXPECT_EQ(SlotOf(&H::DownloadCumulativeBitmapFiles), 6);
  EXPECT_EQ(SlotOf(&H::UploadCumulativeBackupBitmaps), 7);
  EXPECT_EQ(SlotOf(&H::CheckForVolumeCountMismatch), 8);
  EXPECT_EQ(SlotOf(&H::AppendAgentCarryFwdIndex), 9);
  EXPECT_EQ(SlotOf(&H::UploadAgentIndexToSynthFull), 10);
  EXPECT_EQ(SlotOf(static_cast<CQiError (H::*)()>(&H::GetVolumeType)), 11);
  EXPECT_EQ(SlotOf(&H::GetOperatingSystemId), 12);
  EXPECT_EQ(SlotOf(&H::UpdateVolumeAFileInfo), 13);
  EXPECT_EQ(SlotOf(&H::UpdateClonedVolSnapInfo), 14);
}

// The variant follows the type as the agent passed it, never a looked-up one.
TEST(PseudoSnapHandlerPrivate, VariantByTheTypeAsPassed) {
  const struct {
    uint32_t appType;
    const std::type_info& variant;
  } cases[] = {
      {22, typeid(COraclePseudoSnapArchiveHandlerPrivate)},    {80, typeid(COraclePseudoSnapArchiveHandlerPrivate)},
      {125, typeid(CPostGresPseudoSnapArchiveHandlerPrivate)}, {0, typeid(CPseudoSnapArchiveHandlerPrivate)},
      {5, typeid(CPseudoSnapArchiveHandlerPrivate)},           {29, typeid(CPseudoSnapArchiveHandlerPrivate)},
  };
  for (const auto& c : cases) {
    std::unique_ptr<CPseudoSnapArchiveHandlerPrivate> handler(MakePseudoSnapHandler(c.appType));
    EXPECT_EQ(typeid(*handler), c.variant) << c.appType;
  }
}

TEST_F(PseudoSnapTest, InitializeLogsTheJobAndTheDestination) {
  CPseudoSnapArchiveHandler facade;
  ASSERT_FALSE(
      facade.Initialize(2, 7, 5, KZ_BKP_LEVEL_INCREMENTAL, 101, 55, 0, 0, 2, sc_, "ss1", "tok", &ctrl_, true, false)
          .IsError());
  EXPECT_TRUE(
      log_.Contains("VornCellId=2, AppId=7, AppType=5, Backuplevel=2, JobId=101, SnapJobId=55, CopyId=0, "
                    "SnapClientId=0, ClientId=2, \t\t\tSubClientDir=" +
                    sc_ + ", QM=ss1, JobToken=tok, V2=1 metadataCollected =0"));
  EXPECT_TRUE(log_.Contains("Delimiter=/, DestOsId=49"));
  EXPECT_TRUE(facade.IsMetadataUploadedToRFC());
}

TEST_F(PseudoSnapTest, DestinationOsDecidesTheDelimiter) {
  const struct {
    int osId;
    bool ok;
    char delimiter;
    bool windows;
  } cases[] = {
      {49, true, '/', false}, {6, true, '/', false},   {207, true, '/', false}, {200, true, '\\', true},
      {2, true, '\\', true},  {213, true, '\\', true}, {84, false, 0, false},   {99, false, 0, false},
      {-1, false, 0, false},  {0, false, 0, false},
  };
  for (const auto& c : cases) {
    SetOsId(c.osId);
    Handler handler;
    CQiError error = Initialize(handler);
    ASSERT_EQ(error.IsError(), !c.ok) << c.osId << " " << error.AsString();
    if (c.ok) {
      EXPECT_EQ(handler.m_cDelimiter, c.delimiter) << c.osId;
      EXPECT_EQ(handler.m_bWindowsDestination, c.windows) << c.osId;
    } else {
      EXPECT_EQ(FXErrorUtil::GetCode(error), -1);
      EXPECT_NE(error.AsString().find("Invalid OS Id, ClientId=2, OSId=" + std::to_string(c.osId)), std::string::npos)
          << error.AsString();
    }
  }
  SetOsId(200);
  Handler windows;
  ASSERT_FALSE(Initialize(windows).IsError());
  EXPECT_TRUE(log_.Contains("Delimiter=\\, DestOsId=200"));
}

// A failed OS lookup is not looked at: the id stays -1, which is refused.
TEST_F(PseudoSnapTest, FailedOsLookupEndsInTheInvalidOsId) {
  platform::FaultTable::Set("KZClient::getOperatingSystemId", 5);
  Handler handler;
  CQiError error = Initialize(handler);
  EXPECT_NE(error.AsString().find("Invalid OS Id, ClientId=2, OSId=-1"), std::string::npos) << error.AsString();
}

TEST_F(PseudoSnapTest, IndexingV2ByApplicationType) {
  const struct {
    uint32_t appType;
    bool agentV2;
    bool subclientV2;
    const char* fault;
    bool expected;
  } cases[] = {
      {5, true, true, nullptr, false},
      {104, true, true, nullptr, false},
      {29, true, true, nullptr, true},
      {29, false, true, nullptr, false},
      {125, true, true, nullptr, true},
      {125, true, false, nullptr, false},
      {125, true, true, "shouldUseIndexingV2", false},
  };
  for (const auto& c : cases) {
    platform::SubclientRecord subclient = *blbsim::FindSubclient(2, 7);
    subclient.indexingV2 = c.subclientV2;
    ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
    if (c.fault) platform::FaultTable::Set(c.fault, 5);
    Handler handler;
    handler.Initialize(2, 7, c.appType, KZ_BKP_LEVEL_INCREMENTAL, 101, 55, 0, 0, 2, sc_, "ss1", "tok", &ctrl_,
                       c.agentV2, false);
    EXPECT_EQ(handler.m_bIndexingV2, c.expected) << c.appType << " " << c.agentV2 << " " << c.subclientV2;
    if (c.fault) platform::FaultTable::Clear(c.fault);
  }
}

TEST_F(PseudoSnapTest, WithoutInitializeNothingRuns) {
  CPseudoSnapArchiveHandler facade;
  EXPECT_TRUE(facade.IsMetadataUploadedToRFC());
  std::vector<uint32_t> ids;
  CQiError error = facade.CreatePseudoSnapArchive(&ids);
  EXPECT_EQ(FXErrorUtil::GetCode(error), -1);
  EXPECT_NE(error.AsString().find("Pseudo snap archive handler is not initialized"), std::string::npos);
  std::map<std::string, std::string> bitmaps;
  EXPECT_NE(facade.GetCumulativeBmpMap(bitmaps).AsString().find("Pseudo snap archive handler is not initialized"),
            std::string::npos);
  // A failed Initialize leaves the handler unusable too.
  SetOsId(84);
  EXPECT_TRUE(
      facade.Initialize(2, 7, 5, KZ_BKP_LEVEL_INCREMENTAL, 101, 55, 0, 0, 2, sc_, "ss1", "tok", &ctrl_, true, false)
          .IsError());
  EXPECT_NE(facade.CreatePseudoSnapArchive(&ids).AsString().find("not initialized"), std::string::npos);
  EXPECT_TRUE(ids.empty());
}

// A synthetic full that fails to initialise before its work folder exists
// leaves the subclient directory, the agent's own, alone.
TEST_F(PseudoSnapTest, FailedSynthFullKeepsTheSubclientDirectory) {
  testing_support::WriteFile(Path("KeystepInfo.kzf"), "k");
  testing_support::WriteFile(Path("BlockDeviceConfig.kzf.7z"), "z");
  platform::FaultTable::Set("KZPI_Base::getTarvosTempDirectory", 5, false, 1);
  {
    Handler handler;
    CQiError error = Initialize(handler, 5, 55, KZ_BKP_LEVEL_SYNTHFULL);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 3)) << error.AsString();
    EXPECT_NE(error.AsString().find("Failed initialize synthfull config"), std::string::npos);
  }
  EXPECT_TRUE(testing_support::FileExists(Path("KeystepInfo.kzf")));
  EXPECT_TRUE(testing_support::FileExists(Path("BlockDeviceConfig.kzf")));
}

}  // namespace
