#include "agent/desktop/user_defaults.h"

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

namespace vantle::agent {
namespace {

using testing::TempFolder;

TEST(UserDefaults, ValuesWrittenByOneAreSeenByAnotherAndBadValuesReadAsAbsent) {
  TempFolder config;
  const auto file = config.write("OrvaneVantle/defaults.json", R"({"future": "kept"})");
  UserDefaults menu(file);
  const UserDefaults monitor(file);
  EXPECT_EQ(monitor.diskWarningThresholdGB(), std::nullopt);

  EXPECT_EQ(menu.setDiskWarningThresholdGB(100), std::nullopt);
  EXPECT_EQ(menu.setMacBatteryWarningThreshold(30), std::nullopt);
  EXPECT_EQ(monitor.diskWarningThresholdGB(), 100.0);
  EXPECT_EQ(monitor.macBatteryWarningThreshold(), 30);
  EXPECT_NE(testing::readText(file).find(R"("future": "kept")"), std::string::npos);

  // A corrupt file or a mistyped value reads as absent; the next write replaces it.
  for (const char* text : {"{\"diskWarningThresholdGB\": 10", "[1]", "\xff\xfe",
                           R"({"diskWarningThresholdGB": "10", "macBatteryWarningThreshold": true})"}) {
    config.write("OrvaneVantle/defaults.json", text);
    EXPECT_EQ(monitor.diskWarningThresholdGB(), std::nullopt) << text;
    EXPECT_EQ(monitor.macBatteryWarningThreshold(), std::nullopt) << text;
  }
  EXPECT_EQ(menu.setDiskWarningThresholdGB(200), std::nullopt);
  EXPECT_EQ(monitor.diskWarningThresholdGB(), 200.0);
}

TEST(UserDefaults, TheWatchedFolderIsKeptExactlyOrRefusedAndForgottenBesideTheThresholds) {
  TempFolder config;
  const auto file = config.write("OrvaneVantle/defaults.json", R"({"diskWarningThresholdGB": 5})");
  UserDefaults defaults(file);
  EXPECT_EQ(defaults.watchedFolder(), std::nullopt);
  EXPECT_EQ(defaults.setWatchedFolder(std::filesystem::path("/Volumes/Shoot \u00e9t\u00e9")), std::nullopt);
  EXPECT_EQ(defaults.watchedFolder(), std::filesystem::path("/Volumes/Shoot \u00e9t\u00e9"));
  // A name the file could only keep changed is not remembered at all.
  EXPECT_TRUE(defaults.setWatchedFolder(std::filesystem::path("/Volumes/Shoot \xff")));
  EXPECT_EQ(defaults.watchedFolder(), std::filesystem::path("/Volumes/Shoot \u00e9t\u00e9"));
  EXPECT_EQ(defaults.setWatchedFolder(std::nullopt), std::nullopt);
  EXPECT_EQ(defaults.watchedFolder(), std::nullopt);
  EXPECT_EQ(defaults.diskWarningThresholdGB(), 5.0);
  // Only an absolute path counts.
  config.write("OrvaneVantle/defaults.json", R"({"watchedFolder": "Shoot"})");
  EXPECT_EQ(defaults.watchedFolder(), std::nullopt);
}

}  // namespace
}  // namespace vantle::agent
