#include "platform/registry/kz_platform_info.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <tuple>
#include <vector>

#include "platform/harness/sim_harness.h"
#include "platform/registry/registry_backend.h"
#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

using testing_support::ScopedStateDir;

TEST(KZPlatformInfo, NumberIsSetOnlyWhenPresentAndCutTo32Bits) {
  ScopedStateDir state;
  unsigned value = 4;
  EXPECT_EQ(KZPlatformInfo::getNumber("FileSystemAgent", "nMissing", &value), 0);
  EXPECT_EQ(value, 4u);

  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nExtentSizeForBlockFilterDriver", "0x10"));
  EXPECT_NE(KZPlatformInfo::getNumber("FileSystemAgent", "nExtentSizeForBlockFilterDriver", &value), 0);
  EXPECT_EQ(value, 16u);

  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nBig", "4294967297"));
  EXPECT_NE(KZPlatformInfo::getNumber("FileSystemAgent", "nBig", &value), 0);
  EXPECT_EQ(value, 1u);
  unsigned long long wide = 0;
  EXPECT_NE(KZPlatformInfo::getNumber("FileSystemAgent", "nBig", &wide), 0);
  EXPECT_EQ(wide, 4294967297ULL);

  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nText", "abc"));
  value = 9;
  EXPECT_EQ(KZPlatformInfo::getNumber("FileSystemAgent", "nText", &value), 0);
  EXPECT_EQ(value, 9u);
}

TEST(KZPlatformInfo, StringsAndInjectedFaults) {
  ScopedStateDir state;
  std::string home;
  EXPECT_NE(KZPlatformInfo::getString("Base", "dTARVOSHOME", home), 0);
  EXPECT_EQ(home, state.Path() + "/install");

  platform::FaultTable::Set("KZPlatformInfo::getString", 5, false, 1);
  std::string value = "kept";
  EXPECT_EQ(KZPlatformInfo::getString("Base", "dTARVOSHOME", value), 0);
  EXPECT_EQ(value, "kept");
  // The counted fault was consumed by the one call.
  EXPECT_NE(KZPlatformInfo::getString("Base", "dTARVOSHOME", value), 0);
}

// A registry that cannot be read says nothing of what is set: readString
// tells it from a value that is not set, where getString cannot.
TEST(KZPlatformInfo, ReadStringTellsAFailedReadFromAValueNotSet) {
  ScopedStateDir state;
  std::string value = "kept";
  EXPECT_EQ(KZPlatformInfo::readString("FileSystemAgent", "sMissing", value), 0);
  EXPECT_EQ(value, "kept");
  ASSERT_EQ(KZPlatformInfo::readString("Base", "dTARVOSHOME", value), 1);
  EXPECT_EQ(value, state.Path() + "/install");

  platform::FaultTable::Set("KZPlatformInfo::getString", 5, false, 1);
  value = "kept";
  EXPECT_EQ(KZPlatformInfo::readString("Base", "dTARVOSHOME", value), -1);
  EXPECT_EQ(value, "kept");

  const std::string registry = state.Sub("registry.ini"), aside = registry + ".aside";
  ASSERT_EQ(::rename(registry.c_str(), aside.c_str()), 0);
  ASSERT_EQ(::mkdir(registry.c_str(), 0755), 0);  // there, and unreadable
  EXPECT_EQ(KZPlatformInfo::readString("Base", "dTARVOSHOME", value), -1);
  EXPECT_EQ(KZPlatformInfo::getString("Base", "dTARVOSHOME", value), 0);
  ASSERT_EQ(::rmdir(registry.c_str()), 0);
  EXPECT_EQ(KZPlatformInfo::readString("Base", "dTARVOSHOME", value), 0);  // no registry sets nothing
  EXPECT_EQ(value, "kept");
  ASSERT_EQ(::rename(aside.c_str(), registry.c_str()), 0);
}

TEST(RegistryFile, ParsesSectionsAndSurvivesRoundTrip) {
  platform::RegistryContents contents = platform::ParseRegistry(
      "# comment\n[Base]\n dTARVOSHOME = /opt/x \n[FileSystemAgent]\nsKZBFSNAPPART=\nbroken line\n");
  EXPECT_EQ(contents["Base"]["dTARVOSHOME"], "/opt/x");
  ASSERT_EQ(contents["FileSystemAgent"].count("sKZBFSNAPPART"), 1u);
  EXPECT_EQ(contents["FileSystemAgent"]["sKZBFSNAPPART"], "");
  EXPECT_EQ(platform::ParseRegistry(platform::PrintRegistry(contents)), contents);

  // Entries that would not read back as written are refused, and the file is unchanged.
  ScopedStateDir state;
  for (const auto& [section, key, value] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"Base", "k=v", "1"},
           {"Base", "k", "1\n[Other]"},
           {"Ba]se", "k", "1"},
           {"Base", "", "1"},
           {"Base", "#k", "1"},
           {"Base", " k", "1"},
           {"Base", "k", "1 "}})
    EXPECT_FALSE(blbsim::SetRegistryValue(section, key, value)) << section << "/" << key << "/" << value;
  std::string value;
  EXPECT_FALSE(blbsim::GetRegistryValue("Base", "k", value));
  EXPECT_FALSE(blbsim::GetRegistryValue("Other", "k", value));
  ASSERT_TRUE(blbsim::SetRegistryValue("Base", "k", "a b=c"));
  ASSERT_TRUE(blbsim::GetRegistryValue("Base", "k", value));
  EXPECT_EQ(value, "a b=c");
}
