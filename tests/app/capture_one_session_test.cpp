// The agent reading the capture application: the real stand-in on the
// private session bus shoots frames and moves its capture folder, and
// companions (the real vantle-companion among them) follow what the agent
// makes of it.
#include <gtest/gtest.h>
#include <signal.h>

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

// What the real companion printed: one message a line.
std::optional<VantleMessage> watched(LiveProcess& companion, const std::function<bool(const VantleMessage&)>& test,
                                     double seconds = kShotSeconds) {
  std::optional<VantleMessage> found;
  companion.waitForLine(
      [&](const std::string& line) {
        auto message = VantleMessage::decodeText(line, core::Instant{});
        if (!message || !test(*message)) return false;
        found = std::move(message);
        return true;
      },
      seconds);
  return found;
}

std::function<bool(const VantleMessage&)> snapshotWhere(std::function<bool(const VantleSnapshot&)> test) {
  return [test](const VantleMessage& m) { return m.t == Kind::snapshot && m.snapshot && test(*m.snapshot); };
}

TEST_F(CaptureOneSessionTest, ACompanionFollowsShotsAndShootsThroughASessionChangeAnEndAResumeAndAQuit) {
  RunningAgent agent = startAgent();
  LiveProcess companion(VANTLE_COMPANION_PATH,
                        {"watch", "--code", agent.code, "--host", "127.0.0.1", "--port", std::to_string(agent.port)},
                        environment());
  const auto designated = watched(companion, snapshotWhere([&](const VantleSnapshot& s) {
                                    return s.status == core::AgentStatus::ok && s.designatedPath == capture.string();
                                  }),
                                  kStartSeconds);
  ASSERT_TRUE(designated) << agent->transcript() << companion.transcript();
  EXPECT_EQ(designated->snapshot->sessionName, "Spring_Lookbook");

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
  const auto sent = watched(companion, [](const VantleMessage& m) { return m.t == Kind::segment; });
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->segment->seq, 1u);

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
  EXPECT_EQ(secondShoot.size(), 36u);
  EXPECT_NE(secondShoot, firstShoot);
  EXPECT_EQ(storedSegments()[1].shootID, secondShoot);

  // One frame in "Look B", then the shoot ends: the open shot closes into
  // the shoot, and the totals go back to nothing.
  ASSERT_TRUE(ctl({"shoot", "1", "--interval", "0"}));
  ASSERT_TRUE(watched(companion, snapshotWhere([&](const VantleSnapshot& s) {
                        return s.designatedPath == lookB.string() && s.frameCount == 1 && s.shootID == secondShoot &&
                               s.framesThisShoot == 3 && s.shotsCompleted == 1;
                      })))
      << agent->transcript();
  size_t from = agent->outLines().size();
  agent->send("end");
  ASSERT_TRUE(agent->waitForLine("Shoot ended: " + secondShoot, kShotSeconds, from)) << agent->transcript();
  EXPECT_TRUE(agent->waitForLine("Shot closed: Look B +1 frames (seq 3)", kShotSeconds, from)) << agent->transcript();
  EXPECT_TRUE(agent->waitForLine("  " + lookB.string() + ": 1 frames, 1 this shoot", kShotSeconds, from));
  EXPECT_TRUE(eventually([&] { return stored("current-shoot.txt").empty(); }, kShotSeconds));
  // Once a shot opens again in "Look B", its frame is not counted a second time.
  ASSERT_TRUE(watched(companion, snapshotWhere([&](const VantleSnapshot& s) {
                        return !s.shootID && s.designatedPath == lookB.string() && s.shotOpenedAt &&
                               s.framesThisShoot == 0;
                      })))
      << agent->transcript();
  agent->send("status");
  EXPECT_TRUE(agent->waitForLine("Shoot: ended, can be resumed", kShotSeconds, from)) << agent->transcript();

  from = agent->outLines().size();
  agent->send("resume");
  EXPECT_TRUE(agent->waitForLine("Resuming the shoot.", kShotSeconds, from));
  ASSERT_TRUE(watched(companion, snapshotWhere([&](const VantleSnapshot& s) {
                        return s.shootID == secondShoot && s.framesThisShoot == 3 && s.shotsCompleted == 2;
                      })))
      << agent->transcript() << companion.transcript();
  EXPECT_EQ(stored("current-shoot.txt"), secondShoot);

  // The application quits: the agent says so.
  from = agent->outLines().size();
  ASSERT_TRUE(ctl({"quit"}));
  EXPECT_TRUE(agent->waitForLine("Status: Capture One not running", kShotSeconds, from)) << agent->transcript();

  companion.signal(SIGINT);
  EXPECT_EQ(companion.waitForExit(kStartSeconds), 0) << companion.transcript();
  agent.quit();
}

}  // namespace
}  // namespace vantle::testing
