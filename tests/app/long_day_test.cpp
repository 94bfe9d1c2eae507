// The record over a long day, through the real agent: looks begun the way
// tethering tools begin them, a companion that joins late to a day of
// stored shots, a companion that claims an impossible number, and a second
// agent started on the same record.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <limits>
#include <random>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/vantle_coding.h"
#include "tests/app/agent_fixture.h"
#include "tests/support/eventually.h"

namespace vantle::testing {
namespace {

namespace fs = std::filesystem;
using Kind = core::VantleMessage::Kind;

class LongDayTest : public AgentTest {};

TEST_F(LongDayTest, LooksMadeAndShotIntoAtOnceEachCloseAndAnImpossibleNumberIsNeverAdopted) {
  const fs::path root = home() / "Shoot";
  fs::create_directories(root);
  RunningAgent agent = startAgent({"--watch", root.string()});
  // A companion that claims the highest number there is: were the agent to
  // adopt it, every later shot would carry it.
  auto claimant = agent.companion(std::numeric_limits<uint64_t>::max());
  ASSERT_TRUE(claimant && claimant->waitForSnapshot([](const auto&) { return true; }, kStartSeconds));

  // The photographer's pace, not a wait for the agent: each look is made
  // with its first frame at once and left 3.5 s later, less than the
  // debounce and one poll interval together.
  auto next = std::chrono::steady_clock::now();
  for (const char* look : {"Look_1", "Look_2", "Look_3"}) {
    std::this_thread::sleep_until(next);
    next += std::chrono::milliseconds(3500);
    fs::create_directories(root / look);
    landFrame(root / look, "IMG_0001.CR3");
  }
  EXPECT_TRUE(agent->waitForLine("Shot closed: Look_1 +1 frames (seq 1)", kShotSeconds)) << agent->transcript();
  EXPECT_TRUE(agent->waitForLine("Shot closed: Look_2 +1 frames (seq 2)", kShotSeconds)) << agent->transcript();
  agent.quit();
}

TEST_F(LongDayTest, ACompanionJoiningLateGetsTheWholeDayInOrderThenTheCurrentState) {
  // 300 shots whose pictures make a 40 MB record, more than a companion's
  // budget of bytes waiting for it.
  constexpr uint64_t kShots = 300;
  std::mt19937 random(7);
  const auto picture = [&] {
    core::Bytes bytes(50'000);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
  };
  std::string log;
  for (uint64_t seq = 1; seq <= kShots; ++seq) {
    const core::WireSegment segment{.seq = seq,
                                    .path = (home() / "Shoot" / ("Look " + std::to_string(seq))).string(),
                                    .folderName = "Look " + std::to_string(seq),
                                    .framesAdded = 3,
                                    .thumbnail = picture(),
                                    .preview = picture()};
    log += core::VantleCoding::dump(segment.encode()) + "\n";
  }
  fs::create_directories(storage());
  TempFolder::writeAt(storage() / "segments.jsonl", std::vector<uint8_t>(log.begin(), log.end()));
  RunningAgent agent = startAgent();

  auto companion = agent.companion(0);
  ASSERT_TRUE(companion);
  std::vector<uint64_t> replayed;
  const auto snapshot = companion->waitFor(
      [&](const core::VantleMessage& m) {
        if (m.t == Kind::segment) replayed.push_back(m.segment->seq);
        return m.t == Kind::snapshot;
      },
      120);
  ASSERT_TRUE(snapshot) << agent->transcript();
  ASSERT_EQ(replayed.size(), kShots) << agent->transcript();
  for (uint64_t i = 0; i < kShots; ++i) ASSERT_EQ(replayed[i], i + 1);
  agent.quit();
}

TEST_F(LongDayTest, ASecondAgentOnTheSameRecordStopsAndSaysWhoKeepsItUntilTheFirstIsGone) {
  RunningAgent first = startAgent();
  // Off the session bus, where the first agent would turn it away before it reached the record.
  LiveProcess::Environment elsewhere = environment();
  elsewhere["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (home() / "no-session-bus").string();
  LiveProcess second(VANTLE_AGENT_PATH, {"--headless", "--port", "0"}, elsewhere);
  ASSERT_EQ(second.waitForExit(kStartSeconds), 3) << second.transcript();
  const auto errors = second.errLines();
  ASSERT_FALSE(errors.empty()) << second.transcript();
  EXPECT_NE(errors.back().find("(process " + std::to_string(first->pid()) + ")"), std::string::npos) << errors.back();
  EXPECT_NE(errors.back().find(storage().string()), std::string::npos) << errors.back();
  EXPECT_TRUE(first->running());

  // However the first one ends, the record is free again.
  first->signal(SIGKILL);
  ASSERT_TRUE(first->waitForExit(kStartSeconds));
  RunningAgent third = startAgent();
  ASSERT_NE(third.port, 0) << third->transcript();
  third.quit();
}

}  // namespace
}  // namespace vantle::testing
