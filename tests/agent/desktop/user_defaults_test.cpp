#include "agent/desktop/user_defaults.h"

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

namespace vantle::agent {
namespace {

using testing::TempFolder;

TEST(UserDefaults, ValuesWrittenByOneReaderAreSeenByAnotherAndUnknownKeysSurvive) {
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

  config.write("OrvaneVantle/defaults.json", R"({"macBatteryWarningThreshold": 35.9})");
  EXPECT_EQ(monitor.macBatteryWarningThreshold(), 35);  // an integer setting truncates
}

TEST(UserDefaults, CorruptFilesAndMistypedValuesReadAsAbsentAndAreReplacedOnWrite) {
  TempFolder config;
  const UserDefaults defaults(config / "defaults.json");
  for (const char* text : {"{\"diskWarningThresholdGB\": 10", "[1]", "", "\xff\xfe",
                           R"({"diskWarningThresholdGB": "10", "macBatteryWarningThreshold": true})"}) {
    config.write("defaults.json", text);
    EXPECT_EQ(defaults.diskWarningThresholdGB(), std::nullopt) << text;
    EXPECT_EQ(defaults.macBatteryWarningThreshold(), std::nullopt) << text;
  }
  UserDefaults writer(config / "defaults.json");
  EXPECT_EQ(writer.setDiskWarningThresholdGB(200), std::nullopt);
  EXPECT_EQ(defaults.diskWarningThresholdGB(), 200.0);
}

}  // namespace
}  // namespace vantle::agent
