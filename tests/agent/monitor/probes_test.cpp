#include <gtest/gtest.h>

#include "agent/monitor/free_space.h"
#include "agent/monitor/power_sources.h"
#include "tests/support/temp_folder.h"

namespace vantle::agent {
namespace {

using testing::TempFolder;

// One power source in a power-supply tree of the test's making.
void source(const TempFolder& root, const std::string& name, std::map<std::string, std::string> attributes) {
  for (const auto& [attribute, value] : attributes) root.write(name + "/" + attribute, value + "\n");
}

std::optional<BatteryReading> reading(const TempFolder& root) { return PowerSources(root.path()).battery(); }

TEST(PowerSources, TheFirstUsableSystemBatteryByNameAnswersFromCapacityEnergyOrCharge) {
  TempFolder root;
  EXPECT_EQ(reading(root), std::nullopt);
  source(root, "AC", {{"type", "Mains"}, {"online", "1"}});
  source(root, "BAT5", {{"type", "Battery"}, {"capacity", "80"}});
  source(root, "BAT0", {{"type", "Battery"}, {"present", "0"}, {"capacity", "0"}});
  source(root, "BAT1", {{"type", "Battery"}, {"energy_now", "5"}, {"energy_full", "0"}});
  source(root, "BAT2", {{"type", "Battery"}, {"capacity", "-1"}});
  source(root, "AAA-mouse", {{"type", "Battery"}, {"scope", "Device"}, {"capacity", "3"}});
  source(root, "BAT3", {{"type", "Battery"}, {"capacity", "60"}, {"status", "Discharging"}});
  EXPECT_EQ(reading(root), (BatteryReading{60, false}));

  // Without a capacity, the percent comes from energy or charge.
  TempFolder energy, charge;
  source(energy, "BAT0", {{"type", "Battery"}, {"energy_now", "20000000"}, {"energy_full", "30000000"}});
  EXPECT_EQ(reading(energy), (BatteryReading{66, false}));  // 66.67 truncated
  source(charge, "BAT0", {{"type", "Battery"}, {"capacity", "n/a"}, {"charge_now", "999"}, {"charge_full", "1000"}});
  EXPECT_EQ(reading(charge), (BatteryReading{99, false}));
}

}  // namespace
}  // namespace vantle::agent
