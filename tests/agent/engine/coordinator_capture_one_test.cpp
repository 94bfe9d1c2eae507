// The coordinator reading the capture application end to end: the real
// stand-in on a private session bus, the Capture One source and bridge, real
// frames and cache thumbnails written by the stand-in.
#include <gtest/gtest.h>

#include "agent/capture/capture_one_script_source.h"
#include "agent/engine/agent_coordinator.h"
#include "tests/agent/capture/capture_fixture.h"
#include "tests/agent/engine/coordinator_fixture.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using core::VantleSnapshot;
using testing::eventually;

class CoordinatorCaptureOneTest : public testing::CaptureTest {
 protected:
  void TearDown() override {
    if (coordinator) {
      coordinator->stop();
      coordinator->drain();
      coordinator.reset();
    }
    CaptureTest::TearDown();
  }

  size_t ticks() {
    std::lock_guard lock(mutex);
    return tickCount;
  }
  void settle() {
    const size_t now = ticks();
    ASSERT_TRUE(eventually([&] { return ticks() > now + 1; }));
  }

  std::mutex mutex;
  size_t tickCount = 0;
  testing::Recorder recorder;
  std::shared_ptr<AgentCoordinator> coordinator;
};

TEST_F(CoordinatorCaptureOneTest, FramesShotInTheApplicationBecomeASegmentOfItsSession) {
  serve();
  auto storage = std::make_shared<AgentStorage>(scratch / "storage", clock);
  AgentCoordinator::Services services;
  services.storage = storage;
  services.clock = &clock;
  services.scriptSource = std::make_shared<CaptureOneScriptSource>(*bridge);
  services.checkDisk = [this](const std::optional<std::string>&) {
    std::lock_guard lock(mutex);
    ++tickCount;
  };
  coordinator = AgentCoordinator::make({.debounce = 2.0, .designationPollInterval = 0.05}, services);
  coordinator->setCallbacks(recorder.callbacks());
  coordinator->start();

  const std::string capture = (session / "Capture").string();
  ASSERT_TRUE(recorder.waitFor([&](const VantleSnapshot& s) { return s.designatedPath == capture; }, 20));
  VantleSnapshot s = recorder.last();
  EXPECT_EQ(s.status, core::AgentStatus::ok);
  EXPECT_EQ(s.sourceKind, core::SourceKind::designation);
  EXPECT_EQ(s.documentKind, core::DocumentKind::session);
  EXPECT_EQ(s.sessionName, "Spring_Lookbook");
  ASSERT_TRUE(s.sessionID);

  settle();
  clock.advance(3);
  ASSERT_TRUE(recorder.waitFor([](const VantleSnapshot& s) { return s.shotOpenedAt.has_value(); }));
  ctl({"shoot", "2", "--interval", "0"});
  ASSERT_TRUE(recorder.waitFor([](const VantleSnapshot& s) { return s.frameCount == 2; }));

  // The application moves capturing to another folder: the shot closes.
  ctl({"capture-folder", (session / "Capture" / "Look 2").string()});
  ASSERT_TRUE(eventually([&] { return recorder.cleared() >= 2; }));
  settle();
  clock.advance(3);
  ASSERT_TRUE(eventually([&] { return recorder.segments().size() == 1; }));
  const core::WireSegment segment = recorder.segments()[0];
  EXPECT_EQ(segment.path, capture);
  EXPECT_EQ(segment.framesAdded, 2);
  EXPECT_EQ(segment.lastFileName, "IMG_0002.CR3");
  EXPECT_EQ(segment.sessionName, "Spring_Lookbook");
  EXPECT_EQ(segment.sessionID, s.sessionID);
  EXPECT_TRUE(segment.thumbnail);  // from the application's cache
  EXPECT_TRUE(coordinator->isShootRunning());

  // The application quits: the reading says so and the designation is lost.
  ctl({"quit"});
  ASSERT_TRUE(recorder.waitFor(
      [](const VantleSnapshot& s) { return s.status == core::AgentStatus::captureOneNotRunning; }, 20));
  settle();
  clock.advance(3);
  ASSERT_TRUE(recorder.waitFor([](const VantleSnapshot& s) { return !s.designatedPath && !s.shotOpenedAt; }));
  EXPECT_EQ(recorder.segments().size(), 1u);  // the empty folder's shot leaves no segment
}

}  // namespace
}  // namespace vantle::agent
