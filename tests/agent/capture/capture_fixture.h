// The bridge's tests meet the real stand-in capture application on a private
// session bus, with a clock the test moves for the quiet window.
#pragma once

#include <gtest/gtest.h>
#include <filesystem>
#include <memory>

#include "agent/capture/capture_one_bridge.h"
#include "tests/support/eventually.h"
#include "tests/support/manual_clock.h"
#include "tests/support/private_bus.h"
#include "tests/support/stand_in.h"
#include "tests/support/temp_folder.h"

namespace vantle::testing {

class CaptureTest : public ::testing::Test {
 protected:
  using Strings = std::vector<std::string>;

  static void SetUpTestSuite() { daemon = new PrivateBus(); }
  static void TearDownTestSuite() {
    delete daemon;
    daemon = nullptr;
  }

  void SetUp() override {
    if (!daemon->available()) GTEST_SKIP() << daemon->reason();
    std::filesystem::create_directories(session / "Capture");
    bridge = std::make_unique<agent::CaptureOneBridge>(clock, scratch / "Volumes");
  }

  void TearDown() override {
    if (standIn) {
      standIn.reset();
      ApplicationClient().waitForOwner(false, 5);  // the next test's stand-in needs the name
    }
    bridge.reset();
  }

  // Runs the stand-in on `session` with `options` and waits until it answers.
  void serve(Strings options = {}) {
    Strings arguments{"serve", "--session", session.string(), "--job-seconds", "0.3"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    standIn = std::make_unique<StandInProcess>(arguments, scratch / "stand-in.log");
    ASSERT_TRUE(ApplicationClient().waitForOwner(true, 20)) << "the stand-in did not start";
  }

  void ctl(Strings arguments) {
    arguments.insert(arguments.begin(), "ctl");
    const Finished done = runStandIn(arguments);
    ASSERT_EQ(done.exitCode, 0) << done.output;
  }

  static inline PrivateBus* daemon = nullptr;
  ManualClock clock;
  TempFolder temp;
  const std::filesystem::path scratch = std::filesystem::canonical(temp.path());
  const std::filesystem::path session = scratch / "Spring_Lookbook";
  std::unique_ptr<agent::CaptureOneBridge> bridge;
  std::unique_ptr<StandInProcess> standIn;
};

}  // namespace vantle::testing
