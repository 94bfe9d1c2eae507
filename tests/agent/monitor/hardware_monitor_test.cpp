#include "agent/monitor/hardware_monitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include "tests/agent/folders/fixtures/recorder.h"
#include "tests/support/temp_folder.h"
#include "tests/support/instants.h"
#include "tests/support/manual_clock.h"

namespace vantle::agent {
namespace {

using ::testing::ElementsAre;
using Texts = std::vector<std::string>;

// Stand-ins that record what the monitor asked for; free space is what the
// test sets.
struct Recorder final : Notifier, Speaker, FreeSpaceProbe {
  void post(const std::string& title, const std::string& body) override { posted.add(title + ": " + body); }
  void requestPermission(std::function<void(bool)>) override {}
  void speak(const std::string& text) override { spoken.add(text); }
  std::optional<uint64_t> freeBytes(const std::string& path) const override {
    asked.add(path);
    return bytes;
  }

  mutable testing::Recorder<std::string> posted, spoken, asked;
  std::optional<uint64_t> bytes = 500'000'000'000;
};

std::string battery(int percent) {
  return "Low Battery: Mac battery is at " + std::to_string(percent) + "%. Please plug in to avoid interrupting the shoot.";
}
std::string batterySpoken(int percent) { return "Warning. Mac battery is at " + std::to_string(percent) + " percent."; }

class HardwareMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override { setBattery(80); }

  void setBattery(int percent, const char* status = "Discharging") {
    sysfs_.write("BAT0/type", "Battery\n");
    sysfs_.write("BAT0/capacity", std::to_string(percent) + "\n");
    sysfs_.write("BAT0/status", std::string(status) + "\n");
  }
  // Checks, then waits until what the check published has been applied.
  void check(const std::optional<std::string>& path = std::nullopt) {
    monitor_->check(path);
    interface_->sync([] {});
  }
  Texts posted() const { return recorder_->posted.values(); }
  Texts spoken() const { return recorder_->spoken.values(); }

  testing::TempFolder sysfs_, config_;
  testing::ManualClock clock_{testing::at(0)};
  const std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  const std::shared_ptr<UserDefaults> defaults_ = std::make_shared<UserDefaults>(config_ / "defaults.json");
  const std::shared_ptr<support::SerialQueue> interface_ = std::make_shared<support::SerialQueue>("com.orvane.vantle.test");
  const std::shared_ptr<HardwareMonitor> monitor_ = HardwareMonitor::create(
      {PowerSources(sysfs_.path()), recorder_, defaults_, recorder_, recorder_, &clock_, interface_});
};

TEST_F(HardwareMonitorTest, BatteryWarnsAtTheThresholdNotAboveAndNeverOnPower) {
  setBattery(21);
  check();
  EXPECT_FALSE(monitor_->hasWarning());
  setBattery(20);
  check();
  EXPECT_THAT(posted(), ElementsAre(battery(20)));
  EXPECT_THAT(spoken(), ElementsAre(batterySpoken(20)));
  EXPECT_TRUE(monitor_->hasWarning());

  for (const char* status : {"Charging", "Full", "Not charging"}) {  // on external power
    setBattery(3, status);
    clock_.advance(3600);
    check();
    EXPECT_FALSE(monitor_->hasWarning()) << status;
  }
}

TEST_F(HardwareMonitorTest, ThresholdsAreReadAtEveryCheckAndZeroOrLessMeansTheDefault) {
  setBattery(45);
  recorder_->bytes = 150'000'000'000;
  ASSERT_EQ(defaults_->setMacBatteryWarningThreshold(50), std::nullopt);
  ASSERT_EQ(defaults_->setDiskWarningThresholdGB(200), std::nullopt);
  check();
  EXPECT_THAT(posted(), ElementsAre(battery(45), "Low Disk Space: Only 150.0 GB remaining on the capture drive."));

  for (const int stored : {0, -10}) {
    ASSERT_EQ(defaults_->setMacBatteryWarningThreshold(stored), std::nullopt);
    ASSERT_EQ(defaults_->setDiskWarningThresholdGB(stored), std::nullopt);
    setBattery(21);
    recorder_->bytes = 50'000'000'000;  // exactly the threshold does not warn
    check();
    EXPECT_FALSE(monitor_->hasWarning()) << stored;
    setBattery(20);
    recorder_->bytes = 49'999'999'999;
    clock_.advance(3600);
    check();
    EXPECT_EQ(posted().back(), "Low Disk Space: Only 50.0 GB remaining on the capture drive.");
    EXPECT_EQ(posted().end()[-2], battery(20));
  }
}

TEST_F(HardwareMonitorTest, DiskTextShowsOneDecimalAndBothWarningsAreSpokenAsOneText) {
  setBattery(10);
  recorder_->bytes = 12'333'333'333;
  check("/media/photographer/Shoot");
  EXPECT_THAT(posted(), ElementsAre(battery(10), "Low Disk Space: Only 12.3 GB remaining on the capture drive."));
  EXPECT_THAT(spoken(), ElementsAre(batterySpoken(10) + " Warning. Disk space is low. Only 12 gigabytes remaining."));
  check();
  EXPECT_THAT(recorder_->asked.values(), ElementsAre("/media/photographer/Shoot", "/"));
}

TEST_F(HardwareMonitorTest, AWarningRepeatsOnlyAfterMoreThanTenMinutesEvenWithTheClockSetBack) {
  setBattery(12);
  check();
  clock_.advance(600);  // exactly ten minutes: not yet
  check();
  EXPECT_THAT(posted(), ElementsAre(battery(12)));
  EXPECT_THAT(spoken(), ElementsAre(batterySpoken(12)));
  EXPECT_TRUE(monitor_->hasWarning());
  clock_.advance(1);
  check();
  EXPECT_THAT(posted(), ElementsAre(battery(12), battery(12)));

  // Cleared, then back within ten minutes of the last one: on, but silent.
  setBattery(12, "Charging");
  clock_.advance(60);
  check();
  EXPECT_FALSE(monitor_->hasWarning());
  setBattery(11);
  clock_.advance(60);
  check();
  EXPECT_TRUE(monitor_->hasWarning());
  EXPECT_EQ(posted().size(), 2u);

  // A clock set back a little stays quiet; set back far, it warns again.
  clock_.advance(-180);
  check();
  EXPECT_EQ(posted().size(), 2u);
  clock_.advance(-3600);
  check();
  EXPECT_EQ(posted().size(), 3u);
}

TEST_F(HardwareMonitorTest, TheFlagFollowsTheLastCheckWhenTheInterfaceLags) {
  std::vector<bool> seen;  // touched on the interface queue
  monitor_->setOnHasWarningChanged([&](bool warning) { seen.push_back(warning); });
  std::promise<void> release;
  interface_->post([held = release.get_future().share()] { held.wait(); });
  setBattery(12);
  monitor_->check();
  setBattery(12, "Charging");
  monitor_->check();
  release.set_value();
  EXPECT_THAT(interface_->sync([&] { return seen; }), ElementsAre(true, false));
  EXPECT_FALSE(monitor_->hasWarning());
}

}  // namespace
}  // namespace vantle::agent
