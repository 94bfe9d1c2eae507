// The agent reading the capture application: the real stand-in on the
// private session bus shoots frames and moves its capture folder, and
// companions (the real vantle-companion among them) follow what the agent
// makes of it.
#include <gtest/gtest.h>

#include "tests/app/agent_fixture.h"
#include "tests/support/eventually.h"
#include "tests/support/stand_in.h"

namespace vantle::testing {
namespace {

namespace fs = std::filesystem;
using core::VantleMessage;
using core::VantleSnapshot;
using Kind = core::VantleMessage::Kind;

class CaptureOneSessionTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    if (IsSkipped()) return;
    session = home() / "Spring_Lookbook";
    capture = session / "Capture";
    standIn = std::make_unique<StandInProcess>(
        std::vector<std::string>{"serve", "--session", session.string(), "--job-seconds", "0.3"},
        home() / "stand-in.log");
    ASSERT_TRUE(ApplicationClient().waitForOwner(true, kStartSeconds)) << "the stand-in did not start";
  }

  void TearDown() override {
    if (standIn) {
      standIn.reset();
      ApplicationClient().waitForOwner(false, kStartSeconds);  // the next test's stand-in needs the name
    }
  }

  // Drives the stand-in as the photographer drives the application.
  [[nodiscard]] static bool ctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "ctl");
    const Finished done = runStandIn(arguments);
    EXPECT_EQ(done.exitCode, 0) << arguments[1] << ": " << done.output;
    return done.exitCode == 0;
  }

  fs::path session, capture;
  std::unique_ptr<StandInProcess> standIn;
};

// What the real companion printed, from its line `from` on: one message a line.
std::optional<VantleMessage> watched(LiveProcess& companion, const std::function<bool(const VantleMessage&)>& test,
                                     double seconds = kShotSeconds, size_t from = 0) {
  std::optional<VantleMessage> found;
  companion.waitForLine(
      [&](const std::string& line) {
        auto message = VantleMessage::decodeText(line, core::Instant{});
        if (!message || !test(*message)) return false;
        found = std::move(message);
        return true;
      },
      seconds, from);
  return found;
}

std::function<bool(const VantleMessage&)> snapshotWhere(std::function<bool(const VantleSnapshot&)> test) {
  return [test](const VantleMessage& m) { return m.t == Kind::snapshot && m.snapshot && test(*m.snapshot); };
}

TEST_F(CaptureOneSessionTest, ACompanionFollowsShotsAndShootsThroughASessionChangeAnEndAndAResume) {
  RunningAgent agent = startAgent();
  LiveProcess companion(VANTLE_COMPANION_PATH,
                        {"watch", "--code", agent.code, "--host", "127.0.0.1", "--port", std::to_string(agent.port)},
                        environment());
  const auto designated = watched(companion, snapshotWhere([&](const VantleSnapshot& s) {
                                    return s.status == core::AgentStatus::ok && s.designatedPath == capture.string();
                                  }),
                                  kStartSeconds);
  ASSERT_TRUE(designated) << agent->transcript() << companion.transcript();

  // Three frames; the shot must be open before the application moves on,
  // or the new folder would simply replace this one.
  ASSERT_TRUE(ctl({"shoot", "3", "--interval", "0.2"}));
  ASSERT_TRUE(watched(companion, snapshotWhere([&](const VantleSnapshot& s) {
                        return s.designatedPath == capture.string() && s.frameCount == 3 && s.shotOpenedAt;
                      })))
      << agent->transcript() << companion.transcript();
  ASSERT_TRUE(ctl({"capture-folder", (capture / "Look 2").string()}));
  ASSERT_TRUE(agent->waitForLine("Shot closed: Capture +3 frames (seq 1)", kShotSeconds)) << agent->transcript();
  ASSERT_TRUE(eventually([&] { return storedSegments().size() == 1 && stored("current-shoot.txt").size() == 36; },
                         kShotSeconds));
  const std::string firstShoot = stored("current-shoot.txt");
  EXPECT_EQ(storedSegments()[0].shootID, firstShoot);
  EXPECT_TRUE(storedSegments()[0].thumbnail);  // from the application's cache

  // Another session opens. "Look 2" never held a frame, so leaving it leaves no segment.
  const fs::path autumn = home() / "Autumn_Campaign" / "Capture";
  ASSERT_TRUE(ctl({"document", "open", autumn.parent_path().string()}));
  ASSERT_TRUE(watched(companion, snapshotWhere([&](const VantleSnapshot& s) {
                        return s.designatedPath == autumn.string() && s.shotOpenedAt;
                      })))
      << agent->transcript();
  ASSERT_TRUE(ctl({"shoot", "2", "--interval", "0.2"}));
  ASSERT_TRUE(watched(companion, snapshotWhere([&](const VantleSnapshot& s) {
                        return s.designatedPath == autumn.string() && s.frameCount == 2;
                      })))
      << agent->transcript();
  // The new session's first shot closing with frames ends the first shoot and starts the next.
  const fs::path lookB = autumn / "Look B";
  ASSERT_TRUE(ctl({"capture-folder", lookB.string()}));
  const auto verified = watched(companion, [](const VantleMessage& m) { return m.t == Kind::verified; });
  ASSERT_TRUE(verified) << agent->transcript() << companion.transcript();
  EXPECT_EQ(verified->verification->shootID, firstShoot);
  EXPECT_TRUE(agent->waitForLine("Shoot ended: " + firstShoot, kShotSeconds));
  EXPECT_TRUE(agent->waitForLine("  " + capture.string() + ": 3 frames, 3 this shoot", kShotSeconds));
  ASSERT_TRUE(agent->waitForLine("Shot closed: Capture +2 frames (seq 2)", kShotSeconds)) << agent->transcript();
  ASSERT_TRUE(eventually([&] { return storedSegments().size() == 2; }, kShotSeconds));
  const std::string secondShoot = stored("current-shoot.txt");
  EXPECT_NE(secondShoot, firstShoot);
  EXPECT_EQ(storedSegments()[1].shootID, secondShoot);

  // The shoot ends and is resumed with its totals.
  const size_t from = agent->outLines().size(), seen = companion.outLines().size();
  agent->send("end");
  ASSERT_TRUE(agent->waitForLine("Shoot ended: " + secondShoot, kShotSeconds, from)) << agent->transcript();
  EXPECT_TRUE(eventually([&] { return stored("current-shoot.txt").empty(); }, kShotSeconds));
  ASSERT_TRUE(
      watched(companion, snapshotWhere([](const VantleSnapshot& s) { return !s.shootID; }), kShotSeconds, seen));
  const size_t ended = companion.outLines().size();
  agent->send("resume");
  EXPECT_TRUE(agent->waitForLine("Resuming the shoot.", kShotSeconds, from));
  ASSERT_TRUE(watched(companion, snapshotWhere([&](const VantleSnapshot& s) {
                        return s.shootID == secondShoot && s.framesThisShoot == 2;
                      }),
                      kShotSeconds, ended))
      << agent->transcript() << companion.transcript();
  EXPECT_EQ(stored("current-shoot.txt"), secondShoot);
  agent.quit();
}

}  // namespace
}  // namespace vantle::testing
